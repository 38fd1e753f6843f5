// The processes of one tree: a root process and everything it started,
// directly or through its children, as /proc tells them apart by parent id.
//
// A process is known by its id and its start time, so an id that the system
// hands to an unrelated process later is not mistaken for a member. Members
// are found by walking the process table again; a process that joined the
// tree stays a member while it lives, also when its parent exits and it is
// handed to another one, provided one walk saw it under its parent.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vorel::platform::pulse {

struct ProcessEntry {
  uint32_t pid = 0;
  uint32_t parent = 0;
  uint64_t start_time = 0;  // clock ticks after boot
};

// Parent id and start time from the text of /proc/<pid>/stat; nullopt when
// the text does not have their shape.
std::optional<ProcessEntry> parse_process_stat(uint32_t pid, std::string_view stat);

// Every process /proc lists now; processes that end during the walk are
// left out.
std::vector<ProcessEntry> read_process_table();

class ProcessTree {
 public:
  explicit ProcessTree(uint32_t root) : root_(root) {}

  // Brings the members up to date with `table`. The first update decides
  // which process the root is; a root that does not exist then never
  // becomes one, whatever later takes its id.
  void update(const std::vector<ProcessEntry>& table);
  void refresh() { update(read_process_table()); }

  bool contains(uint32_t pid) const { return members_.count(pid) != 0; }

 private:
  uint32_t root_;
  bool rooted_ = false;
  // Member id to its start time.
  std::unordered_map<uint32_t, uint64_t> members_;
};

}  // namespace vorel::platform::pulse
