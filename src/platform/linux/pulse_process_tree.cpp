#include "platform/linux/pulse_process_tree.h"

#include <dirent.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

namespace vorel::platform::pulse {
namespace {

template <class T>
std::optional<T> parse_number(std::string_view text) {
  T value{};
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
  return value;
}

struct DirClose {
  void operator()(DIR* d) const noexcept { closedir(d); }
};

}  // namespace

std::optional<ProcessEntry> parse_process_stat(uint32_t pid, std::string_view stat) {
  // "pid (name) state ppid ... starttime ...": the name may hold spaces and
  // parentheses of its own, so the fields are counted from its last ')'.
  const size_t close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = stat.substr(close + 1);
  // Fields after the name, from 0: state, ppid (1), ..., starttime (19).
  constexpr int kParentField = 1;
  constexpr int kStartTimeField = 19;
  ProcessEntry entry;
  entry.pid = pid;
  int field = -1;
  bool have_parent = false;
  while (!rest.empty()) {
    const size_t begin = rest.find_first_not_of(" \n");
    if (begin == std::string_view::npos) break;
    rest.remove_prefix(begin);
    const size_t end = std::min(rest.find_first_of(" \n"), rest.size());
    const std::string_view token = rest.substr(0, end);
    rest.remove_prefix(end);
    ++field;
    if (field == kParentField) {
      auto parent = parse_number<uint32_t>(token);
      if (!parent) return std::nullopt;
      entry.parent = *parent;
      have_parent = true;
    } else if (field == kStartTimeField) {
      auto start = parse_number<uint64_t>(token);
      if (!start || !have_parent) return std::nullopt;
      entry.start_time = *start;
      return entry;
    }
  }
  return std::nullopt;
}

std::vector<ProcessEntry> read_process_table() {
  std::vector<ProcessEntry> table;
  std::unique_ptr<DIR, DirClose> dir(opendir("/proc"));
  if (!dir) return table;
  while (const dirent* e = readdir(dir.get())) {
    auto pid = parse_number<uint32_t>(e->d_name);
    if (!pid) continue;
    std::ifstream file("/proc/" + std::string(e->d_name) + "/stat", std::ios::binary);
    if (!file) continue;  // ended meanwhile
    const std::string stat((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    if (auto entry = parse_process_stat(*pid, stat)) table.push_back(*entry);
  }
  return table;
}

void ProcessTree::update(const std::vector<ProcessEntry>& table) {
  if (!rooted_) {
    rooted_ = true;
    for (const ProcessEntry& e : table) {
      if (e.pid == root_) members_.emplace(e.pid, e.start_time);
    }
  }
  std::unordered_map<uint32_t, std::vector<const ProcessEntry*>> children;
  std::unordered_map<uint32_t, const ProcessEntry*> alive;
  for (const ProcessEntry& e : table) {
    children[e.parent].push_back(&e);
    alive.emplace(e.pid, &e);
  }
  // Members that still run as the same process; the ended ones go, so their
  // ids can serve unrelated processes.
  std::unordered_map<uint32_t, uint64_t> members;
  std::vector<uint32_t> pending;
  for (const auto& [pid, start] : members_) {
    auto found = alive.find(pid);
    if (found != alive.end() && found->second->start_time == start) {
      members.emplace(pid, start);
      pending.push_back(pid);
    }
  }
  while (!pending.empty()) {
    const uint32_t parent = pending.back();
    pending.pop_back();
    auto kids = children.find(parent);
    if (kids == children.end()) continue;
    for (const ProcessEntry* child : kids->second) {
      if (members.emplace(child->pid, child->start_time).second) pending.push_back(child->pid);
    }
  }
  members_ = std::move(members);
}

}  // namespace vorel::platform::pulse
