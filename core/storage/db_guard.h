#pragma once
// The guard that every database statement of the core runs in.

#include <functional>

// Runs `operation`. Returns true when it returned normally and false when it raised a
// cppdb::cppdb_error; with `rethrow` set that error is raised again instead. Any other exception
// (an empty `operation` raises std::bad_function_call) passes through.
bool DB_GUARD_CALL(const std::function<void()>& operation, bool rethrow = false);
