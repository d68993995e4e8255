#include "core/contacts/phones/phones_db.h"

#include <cppdb/frontend.h>

#include <utility>

#include "core/contacts/phones/phones_statements.h"
#include "core/storage/db_guard.h"

namespace {

// The columns of a phones row in table order, as both selects return them.
enum Column { kPhoneId = 0, kPeerId, kPhone, kType, kEditable };

HX_PhonesDB::Description ReadRow(cppdb::result& row) {
  HX_PhonesDB::Description entry;
  if (!row.fetch(kPhoneId, entry.m_phoneId)) entry.m_phoneId.clear();
  if (!row.fetch(kPeerId, entry.m_peerId)) entry.m_peerId.clear();
  if (!row.fetch(kPhone, entry.m_phone)) entry.m_phone.clear();
  long long type = 0;
  if (!row.fetch(kType, type)) type = 0;
  // Kept in 32 bits as the server sent it.
  entry.m_phoneType = static_cast<PhoneType>(static_cast<int32_t>(static_cast<uint32_t>(type)));
  long long editable = 0;
  if (!row.fetch(kEditable, editable)) editable = 0;
  entry.m_editable = editable != 0;
  return entry;
}

}  // namespace

HX_PhonesDB::Description::Description(std::string phoneId, std::string peerId, std::string phone,
                                      PhoneType phoneType, bool editable)
    : m_phoneId(std::move(phoneId)),
      m_peerId(std::move(peerId)),
      m_phone(std::move(phone)),
      m_phoneType(phoneType),
      m_editable(editable) {}

bool HX_PhonesDB::Description::IsEmpty() const {
  return m_phoneId.empty() || m_peerId.empty() || m_phone.empty() || m_phoneType == 0;
}

bool HX_PhonesDB::Description::operator<(const Description& other) const {
  // std::string compares bytes as unsigned characters, the shorter of two prefixes first.
  const int by_phone = m_phone.compare(other.m_phone);
  if (by_phone != 0) return by_phone < 0;
  return m_phoneId.compare(other.m_phoneId) < 0;
}

HX_PhonesDB::HX_PhonesDB() : HXDBPeerBase(kSchemaVersion, "HX_PhonesDB") {}

std::string HX_PhonesDB::GetStorageNameSuffix() const { return "phones.sqlite"; }

bool HX_PhonesDB::SetPhone(const char* phoneId, const char* peerId, const char* phone, PhoneType type,
                           bool editable) {
  if (phoneId == nullptr || peerId == nullptr || phone == nullptr) return false;
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    *held << hx::phones::insert_phone << std::string(phoneId) << cppdb::exec;
    *held << hx::phones::update_phone << std::string(peerId) << std::string(phone)
          << static_cast<long long>(type) << (editable ? 1 : 0) << std::string(phoneId) << cppdb::exec;
  });
}

bool HX_PhonesDB::DelPhone(const char* phoneId) {
  if (phoneId == nullptr) return false;
  return DB_GUARD_CALL([&] { *Session() << hx::phones::del_phone << std::string(phoneId) << cppdb::exec; });
}

HX_PhonesDB::DescriptionSet HX_PhonesDB::GetPhoneList(const char* peerId) {
  DescriptionSet phones;
  if (peerId == nullptr) return phones;
  DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result row = *held << hx::phones::get_peer_phones << std::string(peerId);
    while (row.next()) phones.insert(ReadRow(row));
  });
  return phones;
}

HX_PhonesDB::Description HX_PhonesDB::GetPhoneDescription(const char* phoneId) {
  Description entry;
  if (phoneId == nullptr) return entry;
  Description read;
  const bool ok = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result row = *held << hx::phones::get_phone_description << std::string(phoneId);
    if (row.next()) read = ReadRow(row);
  });
  if (ok) entry = std::move(read);
  return entry;
}

bool HX_PhonesDB::Create() {
  return DB_GUARD_CALL(
      [&] {
        HXDBBaseSessionLock held = Session();
        cppdb::transaction transaction(*held);
        *held << hx::phones::create_phones << cppdb::exec;
        *held << hx::phones::index_phone_list << cppdb::exec;
        SetVersion(held, kSchemaVersion);
        transaction.commit();
      },
      true);
}

bool HX_PhonesDB::Drop() {
  return DB_GUARD_CALL([&] { *Session() << hx::phones::drop_phones << cppdb::exec; });
}

bool HX_PhonesDB::Reset() { return Drop() && Create(); }
