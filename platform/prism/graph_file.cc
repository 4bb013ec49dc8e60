#include "platform/prism/graph_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace prism_sim {
namespace {

constexpr char kMagic[8] = {'P', 'R', 'S', 'M', 'G', 'R', 'P', 'H'};
constexpr uint32_t kVersion = 1;

void PutU32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void PutU64(std::string* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Bounds-checked little-endian reader: every read fails past the end.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool U32(uint32_t* v) {
    if (size_ - pos_ < 4) return false;
    *v = 0;
    for (int i = 0; i < 4; ++i) *v |= uint32_t{data_[pos_ + i]} << (8 * i);
    pos_ += 4;
    return true;
  }
  bool U64(uint64_t* v) {
    if (size_ - pos_ < 8) return false;
    *v = 0;
    for (int i = 0; i < 8; ++i) *v |= uint64_t{data_[pos_ + i]} << (8 * i);
    pos_ += 8;
    return true;
  }
  bool Bytes(size_t n, std::string* out) {
    if (size_ - pos_ < n) return false;
    out->assign(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return true;
  }
  bool at_end() const { return pos_ == size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace

uint64_t Fnv1a64(const uint8_t* data, size_t size) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (size_t i = 0; i < size; ++i) {
    hash ^= data[i];
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::string EncodeGraphFile(const std::vector<SavedNode>& nodes) {
  std::string out(kMagic, sizeof(kMagic));
  PutU32(&out, kVersion);
  PutU32(&out, static_cast<uint32_t>(nodes.size()));
  for (const SavedNode& node : nodes) {
    PutU32(&out, static_cast<uint32_t>(node.use));
    for (uint64_t extent : node.extents) PutU64(&out, extent);
    for (int32_t word : node.components) PutU32(&out, static_cast<uint32_t>(word));
    PutU32(&out, static_cast<uint32_t>(node.name.size()));
    out += node.name;
  }
  PutU64(&out, Fnv1a64(reinterpret_cast<const uint8_t*>(out.data()), out.size()));
  return out;
}

OzyError DecodeGraphFile(const std::string& bytes, std::vector<SavedNode>* nodes) {
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  if (bytes.size() < sizeof(kMagic) + 8 + 8 || bytes.size() > kMaxGraphFileBytes) {
    return OZY_ERROR_GENERIC;
  }
  if (std::memcmp(data, kMagic, sizeof(kMagic)) != 0) return OZY_ERROR_GENERIC;
  const size_t body = bytes.size() - 8;
  Reader checksum(data + body, 8);
  uint64_t stored = 0;
  if (!checksum.U64(&stored) || stored != Fnv1a64(data, body)) return OZY_ERROR_GENERIC;

  Reader in(data + sizeof(kMagic), body - sizeof(kMagic));
  uint32_t version = 0;
  uint32_t count = 0;
  if (!in.U32(&version) || version != kVersion) return OZY_ERROR_GENERIC;
  if (!in.U32(&count) || count < 2 || count > 6) return OZY_ERROR_GENERIC;
  std::vector<SavedNode> parsed(count);
  for (SavedNode& node : parsed) {
    uint32_t word = 0;
    if (!in.U32(&word)) return OZY_ERROR_GENERIC;
    node.use = static_cast<int32_t>(word);
    for (uint64_t& extent : node.extents) {
      if (!in.U64(&extent)) return OZY_ERROR_GENERIC;
    }
    for (int32_t& component : node.components) {
      if (!in.U32(&word)) return OZY_ERROR_GENERIC;
      component = static_cast<int32_t>(word);
    }
    uint32_t length = 0;
    if (!in.U32(&length) || length == 0 || length > kMaxNameBytes) return OZY_ERROR_GENERIC;
    if (!in.Bytes(length, &node.name)) return OZY_ERROR_GENERIC;
  }
  if (!in.at_end()) return OZY_ERROR_GENERIC;
  *nodes = std::move(parsed);
  return OZY_SUCCESS;
}

OzyError WriteFileAtomically(const std::string& directory, const std::string& name,
                             const std::string& bytes) {
  struct stat st {};
  if (stat(directory.c_str(), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? OZY_ERROR_RESOURCE_NOT_FOUND : OZY_ERROR_GENERIC;
  }
  if (!S_ISDIR(st.st_mode)) return OZY_ERROR_RESOURCE_NOT_FOUND;
  std::string temp = directory + "/." + name + ".XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) return OZY_ERROR_GENERIC;
  bool ok = true;
  size_t done = 0;
  while (ok && done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ok = false;
    else
      done += static_cast<size_t>(n);
  }
  ok = ok && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  const std::string final_path = directory + "/" + name;
  ok = ok && rename(temp.c_str(), final_path.c_str()) == 0;
  if (!ok) {
    unlink(temp.c_str());
    return OZY_ERROR_GENERIC;
  }
  // Make the rename itself durable.
  int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    fsync(dir_fd);
    close(dir_fd);
  }
  return OZY_SUCCESS;
}

OzyError ReadSmallFile(const std::string& path, size_t max_bytes, std::string* bytes) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return errno == ENOENT || errno == ENOTDIR ? OZY_ERROR_RESOURCE_NOT_FOUND : OZY_ERROR_GENERIC;
  std::string data;
  char chunk[4096];
  bool ok = true;
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    data.append(chunk, static_cast<size_t>(n));
    if (data.size() > max_bytes) {
      ok = false;
      break;
    }
  }
  close(fd);
  if (!ok) return OZY_ERROR_GENERIC;
  *bytes = std::move(data);
  return OZY_SUCCESS;
}

}  // namespace prism_sim
