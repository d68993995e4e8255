// The program the tests' precompiled header is built with; it has nothing else to do.
int main() { return 0; }
