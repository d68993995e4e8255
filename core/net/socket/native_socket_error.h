#pragma once
// The pending error of a native socket, as the system reports it once a non-blocking connect or
// a send has failed.

class HXZNativeSocketError {
 public:
  // Reads SO_ERROR of `handle`; when that read fails, the current errno.
  explicit HXZNativeSocketError(int handle);

  int GetError() const { return m_error; }
  // No description is kept.
  const char* GetErrorDescription() const { return nullptr; }

 private:
  int m_error;
};
