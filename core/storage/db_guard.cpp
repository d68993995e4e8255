#include "core/storage/db_guard.h"

#include <cppdb/errors.h>

bool DB_GUARD_CALL(const std::function<void()>& operation, bool rethrow) {
  try {
    operation();
    return true;
  } catch (const cppdb::cppdb_error&) {
    if (rethrow) throw;
    return false;
  }
}
