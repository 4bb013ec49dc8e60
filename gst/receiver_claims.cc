#include "gst/receiver_claims.h"

#include <map>
#include <utility>

#include "absl/strings/str_cat.h"
#include "base/mutex.h"

namespace talon_gst {
namespace {

struct Claim {
  const void* owner;
  std::string name;
};

struct Table {
  vireo::Mutex mutex;
  std::map<std::pair<int, unsigned>, Claim> claims ABSL_GUARDED_BY(mutex);
};

Table& Claims() {
  static Table* const table = new Table;  // lives as long as the process
  return *table;
}

void DropLocked(Table& table, const void* owner) ABSL_EXCLUSIVE_LOCKS_REQUIRED(table.mutex) {
  for (auto it = table.claims.begin(); it != table.claims.end();) {
    it = it->second.owner == owner ? table.claims.erase(it) : std::next(it);
  }
}

}  // namespace

bool ClaimReceiver(const void* owner, const std::string& name, int mipi_rx,
                   unsigned virtual_channel, std::string* error) {
  Table& table = Claims();
  vireo::MutexLock lock(&table.mutex);
  const auto key = std::make_pair(mipi_rx, virtual_channel);
  auto it = table.claims.find(key);
  if (it != table.claims.end() && it->second.owner != owner) {
    *error = absl::StrCat("mipi-rx ", mipi_rx, ", virtual-channel ", virtual_channel,
                          " is busy: ", it->second.name, " captures from it");
    return false;
  }
  DropLocked(table, owner);
  table.claims[key] = Claim{owner, name};
  return true;
}

void ReleaseReceiver(const void* owner) {
  Table& table = Claims();
  vireo::MutexLock lock(&table.mutex);
  DropLocked(table, owner);
}

}  // namespace talon_gst
