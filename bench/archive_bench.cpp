// Storing and loading a large settings tree: the archive against the same
// tree as JSON (RapidJSON and nlohmann-json), the cost of add and find as a
// composite grows, load time against file size, and the memory a load needs.
//
// Files are written to QEL_BENCH_DIR, or else to "archive_files" beside the
// executable (the build tree, on the disk that holds it).  The "_shm" rows
// repeat the store and load comparisons in QEL_BENCH_SHM_DIR, or else in
// /dev/shm, a file system in memory, where write-through costs nothing.
// QEL_BENCH_SMOKE=1 makes every input tiny.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <rapidjson/document.h>
#include <rapidjson/filewritestream.h>
#include <rapidjson/writer.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "BenchSupport.h"
#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
#include "qel/archive/Tree.h"
#include "qel/io/File.h"

// ---- allocation accounting ---------------------------------------------------
// Every operator new of the process (the library's included) passes through
// here, so that the live and the peak heap bytes of a load can be measured.
// Counting is on only while the memory benchmark loads, so that the other
// benchmarks pay nothing for it.

namespace {
bool gCounting = false;
long long gLiveBytes = 0;
long long gPeakBytes = 0;

// Adds a fresh block to the live and peak counts while counting is on.
void* noteAllocation(void* p) {
  if (gCounting) {
    gLiveBytes += static_cast<long long>(malloc_usable_size(p));
    if (gLiveBytes > gPeakBytes) {
      gPeakBytes = gLiveBytes;
    }
  }
  return p;
}

void* countedAlloc(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) {
    throw std::bad_alloc();
  }
  return noteAllocation(p);
}

void* countedAlignedAlloc(std::size_t size, std::align_val_t align) {
  const auto alignment = static_cast<std::size_t>(align);
  const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
  void* p = std::aligned_alloc(alignment, rounded == 0 ? alignment : rounded);
  if (p == nullptr) {
    throw std::bad_alloc();
  }
  return noteAllocation(p);
}

void countedFree(void* p) noexcept {
  if (p != nullptr) {
    if (gCounting) {
      gLiveBytes -= static_cast<long long>(malloc_usable_size(p));
    }
    std::free(p);
  }
}
}  // namespace

void* operator new(std::size_t size) {
  return countedAlloc(size);
}
void* operator new[](std::size_t size) {
  return countedAlloc(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return countedAlloc(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return countedAlloc(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t size, std::align_val_t align) {
  return countedAlignedAlloc(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align) {
  return countedAlignedAlloc(size, align);
}
void operator delete(void* p) noexcept {
  countedFree(p);
}
void operator delete[](void* p) noexcept {
  countedFree(p);
}
void operator delete(void* p, std::size_t) noexcept {
  countedFree(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  countedFree(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  countedFree(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  countedFree(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  countedFree(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  countedFree(p);
}

namespace {

// Memory freed by one round stays with the process for the next, whichever
// contender runs: without this the allocator gives the top of the heap back
// to the system after a large tree or document goes, and the next round of
// whoever comes then pays the page faults of getting it back.
const bool gKeepFreedMemory = mallopt(M_TRIM_THRESHOLD, 1 << 30) != 0;
// Destroying a tree or document is outside the timing, but the allocator
// defers most of it: small blocks freed go to its fast bins, and the next
// round's first large request merges them all.  Without fast bins a block
// is merged as it is freed, and the cost of a destruction stays with it
// instead of falling on whichever contender runs next.
const bool gMergeFreedBlocks = mallopt(M_MXFAST, 0) != 0;

// ---- inputs -------------------------------------------------------------------

bool smoke() {
  const char* value = std::getenv("QEL_BENCH_SMOKE");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

std::size_t treeNodes() {
  return smoke() ? 1000 : 1000000;
}

std::string executableDirectory() {
  std::string path(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", &path[0], path.size() - 1);
  if (n <= 0) {
    return ".";
  }
  path.resize(static_cast<std::size_t>(n));
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Files and directories the run made, removed when it ends.
struct Leftovers {
  std::vector<std::string> files;
  std::vector<std::string> directories;
  ~Leftovers() {
    for (const std::string& f : files) {
      std::remove(f.c_str());
    }
    for (auto d = directories.rbegin(); d != directories.rend(); ++d) {
      ::rmdir(d->c_str());
    }
  }
};

Leftovers& leftovers() {
  static Leftovers made;
  return made;
}

std::string makeDirectory(const std::string& path) {
  ::mkdir(path.c_str(), 0777);
  leftovers().directories.push_back(path);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "archive_bench: cannot use the directory %s\n", path.c_str());
    std::abort();
  }
  return path;
}

// Where files live for the plain rows: the disk unless told otherwise.
const std::string& diskDirectory() {
  static const std::string dir = [] {
    const char* given = std::getenv("QEL_BENCH_DIR");
    if (given != nullptr && *given != '\0') {
      return makeDirectory(std::string(given) + "/qel_archive_bench");
    }
    return makeDirectory(executableDirectory() + "/archive_files");
  }();
  return dir;
}

// Where files live for the "_shm" rows: memory.
const std::string& memoryDirectory() {
  static const std::string dir = [] {
    const char* given = std::getenv("QEL_BENCH_SHM_DIR");
    const std::string base = given != nullptr && *given != '\0' ? given : "/dev/shm";
    return makeDirectory(base + "/qel_archive_bench_" + std::to_string(::getpid()));
  }();
  return dir;
}

// The same numbers on every machine and with every standard library.
class Random {
 public:
  explicit Random(std::uint64_t seed) : _state(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (_state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // A number in [low, high].
  std::size_t between(std::size_t low, std::size_t high) {
    return low + static_cast<std::size_t>(next() % (high - low + 1));
  }

 private:
  std::uint64_t _state;
};

std::string randomName(Random& random) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz";
  std::string name(random.between(6, 14), 'a');
  for (char& c : name) {
    c = kLetters[random.next() % 26];
  }
  return name;
}

std::string randomValue(Random& random) {
  static const char kChars[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 .,:;_-/";
  std::string value(random.between(10, 40), ' ');
  for (char& c : value) {
    c = kChars[random.next() % (sizeof(kChars) - 1)];
  }
  return value;
}

// Any byte but the line feed, which the record format cannot carry in data.
std::vector<unsigned char> randomBytes(Random& random) {
  std::vector<unsigned char> bytes(random.between(64, 512));
  for (unsigned char& b : bytes) {
    do {
      b = static_cast<unsigned char>(random.next());
    } while (b == '\n');
  }
  return bytes;
}

// Names unique among the siblings.
std::string freshName(Random& random, std::unordered_set<std::string>& taken) {
  for (;;) {
    std::string name = randomName(random);
    if (taken.insert(name).second) {
      return name;
    }
  }
}

void addLeaf(qel::CComposite& parent, Random& random, std::unordered_set<std::string>& taken) {
  const bool binary = random.next() % 20 == 0;
  std::string name = freshName(random, taken);
  if (binary) {
    auto* leaf = new qel::CBinaryComponent(name);
    const std::vector<unsigned char> bytes = randomBytes(random);
    leaf->setData(bytes.data(), static_cast<unsigned int>(bytes.size()));
    parent.add(leaf);
  } else {
    parent.add(new qel::CComponent(name, randomValue(random)));
  }
}

// Three levels under an unnamed root: fanout composites, fanout composites in
// each, and the leaves spread evenly over the second level, nodes in all.
std::unique_ptr<qel::CComposite> makeTree(std::size_t nodes, std::uint64_t seed) {
  std::size_t fanout = 2;
  while ((fanout + 1) * (fanout + 1) * (fanout + 1) <= nodes) {
    ++fanout;
  }
  const std::size_t inner = fanout + fanout * fanout;
  const std::size_t leaves = nodes > inner ? nodes - inner : 0;
  Random random(seed);
  auto root = std::make_unique<qel::CComposite>();
  std::unordered_set<std::string> topNames;
  std::size_t placed = 0;
  std::size_t group = 0;
  const std::size_t groups = fanout * fanout;
  for (std::size_t i = 0; i < fanout; ++i) {
    auto* level1 = new qel::CComposite(freshName(random, topNames));
    root->add(level1);
    std::unordered_set<std::string> names1;
    for (std::size_t j = 0; j < fanout; ++j, ++group) {
      auto* level2 = new qel::CComposite(freshName(random, names1));
      level1->add(level2);
      std::unordered_set<std::string> names2;
      const std::size_t until = leaves * (group + 1) / groups;
      for (; placed < until; ++placed) {
        addLeaf(*level2, random, names2);
      }
    }
  }
  return root;
}

// ---- the same tree as JSON ------------------------------------------------------
// Every node is an object with "name"; a composite has "children" (an array,
// since names may repeat and the order counts), a text leaf "value", a binary
// leaf "data" with its bytes in base64.  The root is {"children": [...]}.

std::string base64(const unsigned char* bytes, std::size_t size) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < size) {
    std::uint32_t v = bytes[i] << 16;
    if (i + 1 < size) {
      v |= bytes[i + 1] << 8;
    }
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < size ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::vector<unsigned char> unbase64(const std::string& text) {
  std::vector<unsigned char> out;
  std::uint32_t v = 0;
  int bits = 0;
  for (const char c : text) {
    int d;
    if (c >= 'A' && c <= 'Z') {
      d = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      d = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      d = c - '0' + 52;
    } else if (c == '+') {
      d = 62;
    } else if (c == '/') {
      d = 63;
    } else {
      break;
    }
    v = (v << 6) | static_cast<std::uint32_t>(d);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<unsigned char>(v >> bits));
    }
  }
  return out;
}

void toRapid(qel::CComposite& composite, rapidjson::Value& array,
             rapidjson::Document::AllocatorType& allocator) {
  for (qel::CBaseComponent& entry : qel::tree::children(composite)) {
    qel::CBaseComponent* child = &entry;
    rapidjson::Value node(rapidjson::kObjectType);
    node.AddMember("name", rapidjson::Value(child->getName().c_str(), allocator), allocator);
    if (auto* inner = dynamic_cast<qel::CComposite*>(child)) {
      rapidjson::Value children(rapidjson::kArrayType);
      toRapid(*inner, children, allocator);
      node.AddMember("children", children, allocator);
    } else if (auto* binary = dynamic_cast<qel::CBinaryComponent*>(child)) {
      unsigned int size = 0;
      const unsigned char* bytes = binary->getData(size);
      node.AddMember("data", rapidjson::Value(base64(bytes, size).c_str(), allocator), allocator);
    } else {
      const auto* leaf = static_cast<qel::CComponent*>(child);
      node.AddMember("value", rapidjson::Value(leaf->getValue().c_str(), allocator), allocator);
    }
    array.PushBack(node, allocator);
  }
}

nlohmann::json toNlohmann(qel::CComposite& composite) {
  nlohmann::json array = nlohmann::json::array();
  for (qel::CBaseComponent& entry : qel::tree::children(composite)) {
    qel::CBaseComponent* child = &entry;
    nlohmann::json node = nlohmann::json::object();
    node["name"] = child->getName();
    if (auto* inner = dynamic_cast<qel::CComposite*>(child)) {
      node["children"] = toNlohmann(*inner);
    } else if (auto* binary = dynamic_cast<qel::CBinaryComponent*>(child)) {
      unsigned int size = 0;
      const unsigned char* bytes = binary->getData(size);
      node["data"] = base64(bytes, size);
    } else {
      node["value"] = static_cast<qel::CComponent*>(child)->getValue();
    }
    array.push_back(std::move(node));
  }
  return array;
}

// ---- digests: equal trees give equal digests ---------------------------------

struct Digest {
  std::uint64_t hash = 1469598103934665603ULL;
  std::size_t nodes = 0;
  void add(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
      hash = (hash ^ p[i]) * 1099511628211ULL;
    }
    hash = (hash ^ size) * 1099511628211ULL;
  }
  // An end marker ('e') closes a composite and is no node.
  void node(char kind, int depth, const std::string& name) {
    nodes += kind == 'e' ? 0 : 1;
    add(&kind, 1);
    add(&depth, sizeof(depth));
    add(name.data(), name.size());
  }
  bool operator==(const Digest& other) const { return hash == other.hash && nodes == other.nodes; }
};

void digestQel(qel::CComposite& composite, int depth, Digest& digest) {
  for (qel::CBaseComponent& entry : qel::tree::children(composite)) {
    qel::CBaseComponent* child = &entry;
    if (auto* inner = dynamic_cast<qel::CComposite*>(child)) {
      digest.node('c', depth, child->getName());
      digestQel(*inner, depth + 1, digest);
      digest.node('e', depth, std::string());
    } else if (auto* binary = dynamic_cast<qel::CBinaryComponent*>(child)) {
      digest.node('b', depth, child->getName());
      unsigned int size = 0;
      const unsigned char* bytes = binary->getData(size);
      digest.add(bytes, size);
    } else {
      digest.node('v', depth, child->getName());
      const std::string& value = static_cast<qel::CComponent*>(child)->getValue();
      digest.add(value.data(), value.size());
    }
  }
}

void digestRapid(const rapidjson::Value& array, int depth, Digest& digest) {
  for (const rapidjson::Value& node : array.GetArray()) {
    const std::string name = node["name"].GetString();
    if (node.HasMember("children")) {
      digest.node('c', depth, name);
      digestRapid(node["children"], depth + 1, digest);
      digest.node('e', depth, std::string());
    } else if (node.HasMember("data")) {
      digest.node('b', depth, name);
      const std::vector<unsigned char> bytes = unbase64(node["data"].GetString());
      digest.add(bytes.data(), bytes.size());
    } else {
      digest.node('v', depth, name);
      const rapidjson::Value& value = node["value"];
      digest.add(value.GetString(), value.GetStringLength());
    }
  }
}

void digestNlohmann(const nlohmann::json& array, int depth, Digest& digest) {
  for (const nlohmann::json& node : array) {
    const std::string& name = node["name"].get_ref<const std::string&>();
    if (node.contains("children")) {
      digest.node('c', depth, name);
      digestNlohmann(node["children"], depth + 1, digest);
      digest.node('e', depth, std::string());
    } else if (node.contains("data")) {
      digest.node('b', depth, name);
      const std::vector<unsigned char> bytes = unbase64(node["data"].get_ref<const std::string&>());
      digest.add(bytes.data(), bytes.size());
    } else {
      digest.node('v', depth, name);
      const std::string& value = node["value"].get_ref<const std::string&>();
      digest.add(value.data(), value.size());
    }
  }
}

// The tree in the form "qel export" writes: {"format", "version",
// "children"}, each node {"type", "name", "children" | "value" | "base64"}.
void writeExportChildren(qel::CComposite& composite,
                         rapidjson::Writer<rapidjson::FileWriteStream>& writer) {
  writer.StartArray();
  for (qel::CBaseComponent& child : qel::tree::children(composite)) {
    writer.StartObject();
    writer.Key("type");
    if (auto* inner = dynamic_cast<qel::CComposite*>(&child)) {
      writer.String("composite");
      writer.Key("name");
      writer.String(child.getName().c_str());
      writer.Key("children");
      writeExportChildren(*inner, writer);
    } else if (auto* binary = dynamic_cast<qel::CBinaryComponent*>(&child)) {
      unsigned int size = 0;
      const unsigned char* bytes = binary->getData(size);
      writer.String("binary");
      writer.Key("name");
      writer.String(child.getName().c_str());
      writer.Key("base64");
      writer.String(base64(bytes, size).c_str());
    } else {
      writer.String("text");
      writer.Key("name");
      writer.String(child.getName().c_str());
      writer.Key("value");
      writer.String(static_cast<qel::CComponent&>(child).getValue().c_str());
    }
    writer.EndObject();
  }
  writer.EndArray();
}

void digestSimdjson(simdjson::dom::array array, int depth, Digest& digest) {
  for (simdjson::dom::element node : array) {
    const std::string_view type = node["type"].get_string();
    const std::string name(node["name"].get_string().value());
    if (type == "composite") {
      digest.node('c', depth, name);
      digestSimdjson(node["children"].get_array(), depth + 1, digest);
      digest.node('e', depth, std::string());
    } else if (type == "binary") {
      digest.node('b', depth, name);
      const std::vector<unsigned char> bytes =
          unbase64(std::string(node["base64"].get_string().value()));
      digest.add(bytes.data(), bytes.size());
    } else {
      digest.node('v', depth, name);
      const std::string_view value = node["value"].get_string();
      digest.add(value.data(), value.size());
    }
  }
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "archive_bench: %s\n", what);
  std::abort();
}

// ---- shared fixtures -------------------------------------------------------------

struct Inputs {
  std::unique_ptr<qel::CComposite> tree;
  Digest digest;
  rapidjson::Document rapid;
  nlohmann::json lohmann;
};

std::unique_ptr<qel::CComposite> qelLoad(const std::string& path);
void qelStore(const std::string& path, qel::CComposite& tree);

// The component tree as an application holds it after loading its settings
// (the generated tree stored and loaded back), so that its nodes lie in
// memory in list order as the JSON documents' do.
Inputs& inputs() {
  static Inputs* in = [] {
    auto* made = new Inputs();
    {
      std::unique_ptr<qel::CComposite> generated = makeTree(treeNodes(), 20261206);
      digestQel(*generated, 0, made->digest);
      const std::string path = memoryDirectory() + "/generated.arc";
      qelStore(path, *generated);
      generated.reset();
      made->tree = qelLoad(path);
      std::remove(path.c_str());
    }
    Digest loaded;
    digestQel(*made->tree, 0, loaded);
    if (!(loaded == made->digest)) {
      fail("the tree loaded back differs from the generated one");
    }
    made->rapid.SetObject();
    rapidjson::Value children(rapidjson::kArrayType);
    toRapid(*made->tree, children, made->rapid.GetAllocator());
    made->rapid.AddMember("children", children, made->rapid.GetAllocator());
    made->lohmann = nlohmann::json::object();
    made->lohmann["children"] = toNlohmann(*made->tree);
    Digest rapidDigest;
    digestRapid(made->rapid["children"], 0, rapidDigest);
    Digest lohmannDigest;
    digestNlohmann(made->lohmann["children"], 0, lohmannDigest);
    if (!(rapidDigest == made->digest) || !(lohmannDigest == made->digest)) {
      fail("the JSON trees differ from the component tree");
    }
    return made;
  }();
  return *in;
}

std::uint64_t fileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// The file's bytes and the tree's nodes, per round and in all.
void countFile(benchmark::State& state, const std::string& path, std::size_t nodes) {
  const std::uint64_t bytes = fileSize(path);
  state.counters["file_bytes"] = static_cast<double>(bytes);
  state.counters["nodes"] = static_cast<double>(nodes);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * nodes));
}

// The JSON files are made as durable as the archive: their data reaches the
// disk before the store returns.
void syncAndClose(std::FILE* f) {
  if (std::fflush(f) != 0 || ::fdatasync(::fileno(f)) != 0 || std::fclose(f) != 0) {
    fail("writing a JSON file failed");
  }
}

qel::CFile fileAt(const std::string& path) {
  return qel::CFile(std::wstring(path.begin(), path.end()));
}

void qelStore(const std::string& path, qel::CComposite& tree) {
  qel::CTreeFile::store(fileAt(path), tree);
}

std::unique_ptr<qel::CComposite> qelLoad(const std::string& path) {
  auto root = std::make_unique<qel::CComposite>();
  const qel::CTreeFile::LoadReport report = qel::CTreeFile::load(fileAt(path), *root);
  if (report.eCode != qel::CArchive::RET_OK) {
    fail("loading the archive failed");
  }
  return root;
}

// A JSON file written by RapidJSON's writer through a 64 KiB buffer and made
// durable; write gives the writer the document and tells whether it took it.
template <typename Write>
void rapidWrite(const std::string& path, Write write) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    fail("cannot create a JSON file");
  }
  char buffer[65536];
  rapidjson::FileWriteStream stream(f, buffer, sizeof(buffer));
  rapidjson::Writer<rapidjson::FileWriteStream> writer(stream);
  if (!write(writer)) {
    fail("RapidJSON writing failed");
  }
  stream.Flush();
  syncAndClose(f);
}

void rapidStore(const std::string& path, const rapidjson::Document& doc) {
  rapidWrite(path, [&doc](rapidjson::Writer<rapidjson::FileWriteStream>& writer) {
    return doc.Accept(writer);
  });
}

void nlohmannStore(const std::string& path, const nlohmann::json& doc) {
  const std::string text = doc.dump();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size()) {
    fail("writing the nlohmann JSON file failed");
  }
  syncAndClose(f);
}

void exportStore(const std::string& path, qel::CComposite& tree) {
  rapidWrite(path, [&tree](rapidjson::Writer<rapidjson::FileWriteStream>& writer) {
    writer.StartObject();
    writer.Key("format");
    writer.String("qel-tree");
    writer.Key("version");
    writer.Int(1);
    writer.Key("children");
    writeExportChildren(tree, writer);
    return writer.EndObject();
  });
}

const std::string& directoryFor(bool memory) {
  return memory ? memoryDirectory() : diskDirectory();
}

// The files of the tree in a directory, written once: the archive, the JSON
// of RapidJSON and nlohmann-json, and the JSON "qel export" writes.
enum StoredFormat { kArchive = 0, kRapid = 1, kNlohmann = 2, kExport = 3 };

const std::string& storedFile(bool memory, int format) {
  static std::string paths[2][4];
  std::string& path = paths[memory ? 1 : 0][format];
  if (path.empty()) {
    static const char* const kNames[] = {"tree.arc", "tree_rapid.json", "tree_nlohmann.json",
                                         "tree_export.json"};
    path = directoryFor(memory) + "/" + kNames[format];
    leftovers().files.push_back(path);
    Inputs& in = inputs();
    if (format == 0) {
      qelStore(path, *in.tree);
    } else if (format == 1) {
      rapidStore(path, in.rapid);
    } else if (format == 2) {
      nlohmannStore(path, in.lohmann);
    } else {
      exportStore(path, *in.tree);
    }
  }
  return path;
}

// ---- store ---------------------------------------------------------------------------

void checkStored(bool memory, int format, const std::string& path) {
  Inputs& in = inputs();
  Digest digest;
  if (format == 0) {
    std::unique_ptr<qel::CComposite> loaded = qelLoad(path);
    digestQel(*loaded, 0, digest);
  } else {
    rapidjson::Document doc;
    doc.Parse(qelbench::readWhole(path).c_str());
    if (doc.HasParseError()) {
      fail("a stored JSON file does not parse");
    }
    digestRapid(doc["children"], 0, digest);
  }
  if (!(digest == in.digest)) {
    fail(memory ? "a stored file (memory) differs from the tree"
                : "a stored file (disk) differs from the tree");
  }
}

template <int kFormat, bool kMemory>
void BM_TreeStore(benchmark::State& state) {
  Inputs& in = inputs();
  const std::string path = directoryFor(kMemory) + "/store_" + std::to_string(kFormat) +
                           (kFormat == 0 ? ".arc" : ".json");
  auto store = [&] {
    if (kFormat == 0) {
      qelStore(path, *in.tree);
    } else if (kFormat == 1) {
      rapidStore(path, in.rapid);
    } else {
      nlohmannStore(path, in.lohmann);
    }
  };
  // One untimed round first, so that every contender is measured with its
  // memory already obtained from the system.
  store();
  for (auto _ : state) {
    store();
    benchmark::ClobberMemory();
  }
  checkStored(kMemory, kFormat, path);
  countFile(state, path, in.digest.nodes);
  std::remove(path.c_str());
}

// ---- load -----------------------------------------------------------------------------

template <int kFormat, bool kMemory>
void BM_TreeLoad(benchmark::State& state) {
  Inputs& in = inputs();
  const std::string& path = storedFile(kMemory, kFormat);
  Digest digest;
  // One untimed round first, so that every contender is measured with its
  // memory already obtained from the system.
  if (kFormat == 0) {
    qelLoad(path).reset();
  } else if (kFormat == 1) {
    auto doc = std::make_unique<rapidjson::Document>();
    doc->Parse(qelbench::readWhole(path).c_str());
  } else {
    benchmark::DoNotOptimize(nlohmann::json::parse(qelbench::readWhole(path)).size());
  }
  for (auto _ : state) {
    if (kFormat == 0) {
      std::unique_ptr<qel::CComposite> tree = qelLoad(path);
      benchmark::DoNotOptimize(tree.get());
      state.PauseTiming();
      digest = Digest();
      digestQel(*tree, 0, digest);
      tree.reset();
      state.ResumeTiming();
    } else if (kFormat == 1) {
      auto doc = std::make_unique<rapidjson::Document>();
      doc->Parse(qelbench::readWhole(path).c_str());
      benchmark::DoNotOptimize(doc.get());
      state.PauseTiming();
      if (doc->HasParseError()) {
        fail("RapidJSON cannot parse the file");
      }
      digest = Digest();
      digestRapid((*doc)["children"], 0, digest);
      doc.reset();
      state.ResumeTiming();
    } else {
      auto doc = std::make_unique<nlohmann::json>(nlohmann::json::parse(qelbench::readWhole(path)));
      benchmark::DoNotOptimize(doc.get());
      state.PauseTiming();
      digest = Digest();
      digestNlohmann((*doc)["children"], 0, digest);
      doc.reset();
      state.ResumeTiming();
    }
  }
  if (!(digest == in.digest)) {
    fail("a loaded tree differs from the stored one");
  }
  countFile(state, path, in.digest.nodes);
}

// ---- the floor: what moving the same bytes costs ---------------------------------
// The stored archive's bytes, already in memory, written with one write per
// MiB and closed (flushed first on disk, as the store's are); and the same
// file read into memory (a buffer kept from round to round) with each byte
// looked at once, by a memchr for the line feeds that end the records.

constexpr std::size_t kFloorChunk = std::size_t{1} << 20;

void writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, std::min(size, kFloorChunk));
    if (n <= 0) {
      fail("the floor's write failed");
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

template <bool kMemory>
void BM_TreeStoreFloor(benchmark::State& state) {
  const std::string bytes = qelbench::readWhole(storedFile(kMemory, kArchive));
  const std::string path = directoryFor(kMemory) + "/store_floor.arc";
  auto store = [&] {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      fail("the floor cannot create its file");
    }
    writeAll(fd, bytes.data(), bytes.size());
    if ((!kMemory && ::fdatasync(fd) != 0) || ::close(fd) != 0) {
      fail("the floor's flush or close failed");
    }
  };
  store();
  for (auto _ : state) {
    store();
    benchmark::ClobberMemory();
  }
  if (qelbench::readWhole(path) != bytes) {
    fail("the floor wrote other bytes than the archive");
  }
  state.counters["file_bytes"] = static_cast<double>(bytes.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
  std::remove(path.c_str());
}

template <bool kMemory>
void BM_TreeLoadFloor(benchmark::State& state) {
  const std::string& path = storedFile(kMemory, kArchive);
  const std::string expected = qelbench::readWhole(path);
  std::string buffer(expected.size(), '\0');
  std::size_t lineFeeds = 0;
  lineFeeds = qelbench::floorLoad(path, buffer);
  for (auto _ : state) {
    lineFeeds = qelbench::floorLoad(path, buffer);
    benchmark::DoNotOptimize(lineFeeds);
  }
  if (buffer != expected ||
      lineFeeds != qelbench::countLineFeeds(expected.data(), expected.size())) {
    fail("the floor read other bytes than the archive");
  }
  state.counters["file_bytes"] = static_cast<double>(buffer.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer.size()));
}

// simdjson parsing the tree's "qel export" JSON into its DOM, with one parser
// kept for the run, as simdjson is meant to be used.
template <bool kMemory>
void BM_TreeLoadSimdjson(benchmark::State& state) {
  Inputs& in = inputs();
  const std::string& path = storedFile(kMemory, kExport);
  simdjson::dom::parser parser;
  simdjson::dom::element document;
  if (parser.load(path).get(document) != simdjson::SUCCESS) {
    fail("simdjson cannot parse the exported tree");
  }
  Digest digest;
  for (auto _ : state) {
    if (parser.load(path).get(document) != simdjson::SUCCESS) {
      fail("simdjson cannot parse the exported tree");
    }
    benchmark::DoNotOptimize(document);
    state.PauseTiming();
    digest = Digest();
    digestSimdjson(document["children"].get_array(), 0, digest);
    state.ResumeTiming();
  }
  if (!(digest == in.digest)) {
    fail("the tree simdjson parsed differs from the stored one");
  }
  countFile(state, path, in.digest.nodes);
}

#define QEL_TREE_BENCH(fn, row, format, memory, peer) \
  BENCHMARK_TEMPLATE(fn, format, memory)->Name(row "/" peer)->Unit(benchmark::kMillisecond)

QEL_TREE_BENCH(BM_TreeStore, "tree_store", 0, false, "qel");
QEL_TREE_BENCH(BM_TreeStore, "tree_store", 1, false, "rapidjson");
QEL_TREE_BENCH(BM_TreeStore, "tree_store", 2, false, "nlohmann");
QEL_TREE_BENCH(BM_TreeStore, "tree_store_shm", 0, true, "qel");
QEL_TREE_BENCH(BM_TreeStore, "tree_store_shm", 1, true, "rapidjson");
QEL_TREE_BENCH(BM_TreeStore, "tree_store_shm", 2, true, "nlohmann");
QEL_TREE_BENCH(BM_TreeLoad, "tree_load", 0, false, "qel");
QEL_TREE_BENCH(BM_TreeLoad, "tree_load", 1, false, "rapidjson");
QEL_TREE_BENCH(BM_TreeLoad, "tree_load", 2, false, "nlohmann");
QEL_TREE_BENCH(BM_TreeLoad, "tree_load_shm", 0, true, "qel");
QEL_TREE_BENCH(BM_TreeLoad, "tree_load_shm", 1, true, "rapidjson");
QEL_TREE_BENCH(BM_TreeLoad, "tree_load_shm", 2, true, "nlohmann");
BENCHMARK_TEMPLATE(BM_TreeStoreFloor, false)
    ->Name("tree_store/floor")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_TreeStoreFloor, true)
    ->Name("tree_store_shm/floor")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_TreeLoadFloor, false)->Name("tree_load/floor")->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_TreeLoadFloor, true)
    ->Name("tree_load_shm/floor")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_TreeLoadSimdjson, false)
    ->Name("tree_load/simdjson")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_TreeLoadSimdjson, true)
    ->Name("tree_load_shm/simdjson")
    ->Unit(benchmark::kMillisecond);

// ---- growth of one composite -------------------------------------------------------
// A composite holding n children (random names) takes a batch of new children
// (add) or is searched for names it holds (find); the cost is per operation.

constexpr std::size_t kBatch = 1024;

std::size_t growthSize(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  return smoke() ? std::min<std::size_t>(n, 1000) : n;
}

void fillComposite(qel::CComposite& composite, std::size_t n, Random& random,
                   std::unordered_set<std::string>& taken, std::vector<std::string>& names) {
  for (std::size_t i = 0; i < n; ++i) {
    names.push_back(freshName(random, taken));
    composite.add(new qel::CComponent(names.back(), "value"));
  }
}

void BM_CompositeAdd(benchmark::State& state) {
  const std::size_t n = growthSize(state);
  Random random(77);
  std::unordered_set<std::string> taken;
  std::vector<std::string> names;
  qel::CComposite composite("c");
  fillComposite(composite, n, random, taken, names);
  std::vector<std::string> extra;
  for (std::size_t i = 0; i < kBatch; ++i) {
    extra.push_back(freshName(random, taken));
  }
  std::vector<qel::CBaseComponent*> batch(kBatch);
  for (auto _ : state) {
    state.PauseTiming();
    for (std::size_t i = 0; i < kBatch; ++i) {
      batch[i] = new qel::CComponent(extra[i], "value");
    }
    state.ResumeTiming();
    for (qel::CBaseComponent* child : batch) {
      composite.add(child);
    }
    state.PauseTiming();
    for (qel::CBaseComponent* child : batch) {
      composite.remove(child);
    }
    state.ResumeTiming();
  }
  if (composite.getChildCount() != n || composite.find(extra[0]) != nullptr ||
      composite.find(names[n / 2]) == nullptr) {
    fail("the composite lost or kept children it should not");
  }
  state.counters["children"] = static_cast<double>(n);
  state.counters["ns_per_op"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kBatch),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}
BENCHMARK(BM_CompositeAdd)->Name("composite_add")->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000);

void BM_CompositeFind(benchmark::State& state) {
  const std::size_t n = growthSize(state);
  Random random(78);
  std::unordered_set<std::string> taken;
  std::vector<std::string> names;
  qel::CComposite composite("c");
  fillComposite(composite, n, random, taken, names);
  std::vector<std::string> wanted;
  for (std::size_t i = 0; i < kBatch; ++i) {
    wanted.push_back(names[random.next() % n]);
  }
  std::size_t found = 0;
  for (auto _ : state) {
    for (const std::string& name : wanted) {
      found += composite.find(name) != nullptr ? 1 : 0;
    }
    benchmark::DoNotOptimize(found);
  }
  if (found != static_cast<std::size_t>(state.iterations()) * kBatch) {
    fail("find missed a child that is there");
  }
  state.counters["children"] = static_cast<double>(n);
  state.counters["ns_per_op"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kBatch),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}
BENCHMARK(BM_CompositeFind)
    ->Name("composite_find")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000);

// ---- load time against file size ---------------------------------------------------
// Trees of the same mix whose archives are about 10 MB and 100 MB (10 KB and
// 100 KB in smoke mode).

std::size_t nodesForBytes(std::uint64_t bytes) {
  // About 68 bytes per node in this mix; the exact size is reported.
  return static_cast<std::size_t>(bytes / 68);
}

void BM_ArchiveLoadSize(benchmark::State& state) {
  const std::uint64_t megabytes = static_cast<std::uint64_t>(state.range(0));
  const std::uint64_t target = smoke() ? megabytes * 1000 : megabytes * 1000000;
  const std::string path = diskDirectory() + "/size_" + std::to_string(megabytes) + ".arc";
  std::size_t nodes = 0;
  {
    std::unique_ptr<qel::CComposite> tree = makeTree(nodesForBytes(target), 4242 + megabytes);
    Digest digest;
    digestQel(*tree, 0, digest);
    nodes = digest.nodes;
    qelStore(path, *tree);
  }
  for (auto _ : state) {
    std::unique_ptr<qel::CComposite> tree = qelLoad(path);
    benchmark::DoNotOptimize(tree.get());
    state.PauseTiming();
    tree.reset();
    state.ResumeTiming();
  }
  const std::uint64_t bytes = fileSize(path);
  state.counters["file_bytes"] = static_cast<double>(bytes);
  state.counters["nodes"] = static_cast<double>(nodes);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  std::remove(path.c_str());
}
BENCHMARK(BM_ArchiveLoadSize)
    ->Name("archive_load_mb")
    ->Arg(10)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond);

// ---- memory of a load -----------------------------------------------------------------
// peak_bytes: the most heap the load held at once; tree_bytes: what the
// loaded tree holds once the archive is gone.  Both count the blocks
// allocated from the start of the load on.

void BM_TreeLoadMemory(benchmark::State& state) {
  const std::string& path = storedFile(false, 0);
  double peak = 0;
  double held = 0;
  for (auto _ : state) {
    gLiveBytes = 0;
    gPeakBytes = 0;
    gCounting = true;
    std::unique_ptr<qel::CComposite> tree = qelLoad(path);
    benchmark::DoNotOptimize(tree.get());
    gCounting = false;
    peak = static_cast<double>(gPeakBytes);
    held = static_cast<double>(gLiveBytes);
    state.PauseTiming();
    tree.reset();
    state.ResumeTiming();
  }
  state.counters["peak_bytes"] = peak;
  state.counters["tree_bytes"] = held;
  state.counters["peak_per_tree"] = held > 0 ? peak / held : 0;
  state.counters["file_bytes"] = static_cast<double>(fileSize(path));
}
BENCHMARK(BM_TreeLoadMemory)->Name("tree_load_memory/qel")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
