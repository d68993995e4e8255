#include "core/chat/chat_db.h"

#include "core/base/ios_log.h"
#include "core/chat/chat_statements.h"
#include "core/storage/db_guard.h"

namespace history = hx::chat::historyDB;
namespace pages = hx::chat::pagesDB;
namespace attrib = hx::chat::attribDB;

namespace {

// In the order Drop runs them: tables that refer to messages first.
const char* const kDropStatements[] = {
    attrib::drop_attributes, attrib::drop_attrib_directory, history::drop_previews,
    history::drop_fts,       history::drop_messages,        pages::drop,
};

}  // namespace

HX_ChatDB::HX_ChatDB() : HXDBPeerBase(kSchemaVersion, "HX_ChatDB") {}

std::string HX_ChatDB::GetStorageNameSuffix() const { return "chat.sqlite"; }

HXDBBase* HX_ChatDB::createInstance() const { return new HX_ChatDB(); }

bool HX_ChatDB::Create() {
  return DB_GUARD_CALL(
      [this] {
        HXDBBaseSessionLock held = Session();
        cppdb::transaction transaction(*held);
        *held << history::create_messages_table << cppdb::exec;
        bool has_fts = false;
        {
          cppdb::result row = *held << history::check_fts_table;
          has_fts = row.next();
        }
        if (!has_fts) *held << history::create_fts_table << cppdb::exec;
        *held << pages::create << cppdb::exec;
        for (const char* index : {history::set_indexes_0, history::set_indexes_1, history::set_indexes_2,
                                  history::set_indexes_3, history::set_indexes_4, history::set_indexes_5,
                                  pages::set_indexes_0, pages::set_indexes_1}) {
          *held << index << cppdb::exec;
        }
        create_new_v12_tables(held);
        SetVersion(held, kSchemaVersion);
        transaction.commit();
      },
      true);
}

void HX_ChatDB::create_new_v12_tables(const HXDBBaseSessionLock& held) {
  for (const char* statement :
       {attrib::drop_attributes, attrib::drop_attrib_directory, history::drop_previews,
        history::create_previews_table, attrib::create_attrib_directory_table, attrib::create_attributes_table,
        attrib::set_indexes_attributes_0, attrib::set_indexes_attributes_1}) {
    *held << statement << cppdb::exec;
  }
}

bool HX_ChatDB::Drop() { return dropTables(false); }

bool HX_ChatDB::dropTables(bool oneByOne) {
  if (oneByOne) {
    for (const char* statement : kDropStatements) {
      DB_GUARD_CALL([&] { *Session() << statement << cppdb::exec; });
    }
    return true;
  }
  return DB_GUARD_CALL([this] {
    HXDBBaseSessionLock held = Session();
    cppdb::transaction transaction(*held);
    for (const char* statement : kDropStatements) *held << statement << cppdb::exec;
    transaction.commit();
  });
}

bool HX_ChatDB::Upgrade(int oldVersion) {
  switch (oldVersion) {
    case 12:
      return upgrade_from_v12();
    case 10:
    case 11:
      // Files of these versions keep file messages inside their text; converting them needs the
      // message model. Until then such a file is not opened, and so never rebuilt empty.
      ios_log("Can't upgrade chat database from version %d yet", oldVersion);
      return false;
    default:
      return HXDBBase::Upgrade(oldVersion);
  }
}

bool HX_ChatDB::upgrade_from_v12() {
  return DB_GUARD_CALL([this] {
    HXDBBaseSessionLock held = Session();
    *held << history::upd_v12_v13::drop_uploads << cppdb::exec;
    SetVersion(held, kSchemaVersion);
  });
}

bool HX_ChatDB::QueryRuns(const char* probe) {
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result row = *held << probe;
    row.next();
  });
}

bool HX_ChatDB::UpgradeRecognised(int version) {
  bool upgraded = false;
  const bool ran = DB_GUARD_CALL([&] { upgraded = Upgrade(version); });
  return ran && upgraded;
}

bool HX_ChatDB::handleZeroVersion() {
  if (QueryRuns(history::upd_v11_v12::check_db_v11)) {
    ios_log("Assume version was 11");
    return UpgradeRecognised(11);
  }
  if (QueryRuns(history::upd_v10_v11::check_db_v10)) {
    ios_log("Assume version was 10");
    return UpgradeRecognised(10);
  }
  ios_log("Can't upgrade: unknown version");
  dropTables(true);
  return Create();
}
