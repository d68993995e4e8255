#pragma once
// A private folder inside the live database folder in which restore rebuilds the databases before
// they replace the live files, so that a failed restore leaves the live files as they were. Being
// on the same file system, a staged file replaces its live one with a rename. The folder and what
// is left in it are removed at destruction.

#include <string>

class RestoreStaging {
 public:
  // `dbDir` ends in a separator.
  explicit RestoreStaging(const std::string& dbDir);
  ~RestoreStaging();
  RestoreStaging(const RestoreStaging&) = delete;
  RestoreStaging& operator=(const RestoreStaging&) = delete;

  bool created() const { return !path_.empty(); }
  // The folder, ending in '/'.
  const std::string& path() const { return path_; }

  // Removes the staging folders ("restore-" and six characters) that restores killed in the
  // middle left in `dbDir`. Call it under the global database lock, before a new staging folder
  // exists. Returns how many were removed.
  static int removeStale(const std::string& dbDir);

  // Replaces the live file `name` with the staged one. The live file's "-wal" and "-shm" belong
  // to the old content and are deleted first, so they cannot be replayed into the new one.
  bool replaceLive(const std::string& name);

 private:
  std::string db_dir_;
  std::string path_;
};
