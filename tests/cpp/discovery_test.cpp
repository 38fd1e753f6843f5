#include <gtest/gtest.h>

#include "discovery/monitors.h"
#include "discovery/windows.h"
#include "fakes/fake_window_services.h"

namespace vorel {
namespace {

using testing::FakeWindow;
using testing::FakeWindowServices;
using testing::window;

std::optional<std::string> ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

FakeWindowServices sample_windows() {
  FakeWindowServices fake;
  fake.windows = {
      window(0x10, u"Editor - Notes", u"EditClass", 42u, true),
      window(0x20, u"", u"Untitled", 43u, true),                   // visible, untitled
      window(0x30, u"Hidden Editor", u"HiddenClass", 44u, false),  // titled, hidden
      window(0x40, u"Second editor", u"EditClass", std::nullopt, true),  // no pid
  };
  return fake;
}

std::vector<int64_t> handles(const std::vector<WindowRecord>& records) {
  std::vector<int64_t> out;
  for (const auto& r : records) out.push_back(r.handle);
  return out;
}

TEST(WindowEnumeration, FiltersKeepOnlyVisibleTitledWindowsInOrder) {
  FakeWindowServices fake = sample_windows();
  EXPECT_EQ(handles(enumerate_windows(fake, false)), (std::vector<int64_t>{0x10, 0x40}));
  const auto all = enumerate_windows(fake, true);
  ASSERT_EQ(handles(all), (std::vector<int64_t>{0x10, 0x20, 0x30, 0x40}));
  EXPECT_EQ(all[1].title, "");
  EXPECT_TRUE(all[1].visible);
  EXPECT_EQ(all[2].title, "Hidden Editor");
  EXPECT_FALSE(all[2].visible);
  EXPECT_EQ(all[0].class_name, "EditClass");
  EXPECT_EQ(all[0].pid, 42u);
  EXPECT_EQ(all[3].pid, 0u) << "a window without a reported process has pid 0";
}

TEST(WindowEnumeration, FailureKeepsWhatWasGathered) {
  FakeWindowServices fake = sample_windows();
  fake.fail_windows_after = 2;
  EXPECT_EQ(handles(enumerate_windows(fake, true)), (std::vector<int64_t>{0x10, 0x20}));
}

TEST(WindowEnumeration, TitleBufferFollowsTheReportedLength) {
  FakeWindowServices fake;
  // Title grew after its length was read: cut to the reported length.
  fake.windows.push_back(window(1, u"Longer title", u"C", 1u, true, 6));
  // Title shrank: the zeroed rest of the buffer leaves no NULs behind.
  fake.windows.push_back(window(2, u"ab", u"C", 1u, true, 10));
  // The text call fails: the buffer stays zeroed, so the title is empty.
  FakeWindow failing = window(3, u"Unreadable", u"C", 1u, true);
  failing.text_call_fails = true;
  fake.windows.push_back(failing);
  const auto records = enumerate_windows(fake, false);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].title, "Longer");
  EXPECT_EQ(records[1].title, "ab");
  EXPECT_EQ(records[2].title, "");
}

TEST(WindowEnumeration, TextsAreConvertedLossilyAndClassNamesCapped) {
  FakeWindowServices fake;
  std::u16string title = u"caf\u00e9 ";
  title.push_back(static_cast<char16_t>(0xD800));  // unpaired surrogate
  title += u"\U0001F600";
  std::u16string long_class(300, u'x');
  fake.windows.push_back(window(1, title, long_class, 7u, true));
  const auto records = enumerate_windows(fake, false);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].title, "caf\xC3\xA9 \xEF\xBF\xBD\xF0\x9F\x98\x80");
  EXPECT_EQ(records[0].class_name, std::string(255, 'x'));
}

TEST(FindWindowByTitle, CaseInsensitiveFirstVisibleMatch) {
  FakeWindowServices fake = sample_windows();
  auto found = find_window_by_title(fake, "editor", ascii_lower);
  ASSERT_TRUE(found && *found);
  EXPECT_EQ((*found)->handle, 0x10) << "the first match in enumeration order wins";

  found = find_window_by_title(fake, "second", ascii_lower);
  ASSERT_TRUE(found && *found);
  EXPECT_EQ((*found)->handle, 0x40);

  found = find_window_by_title(fake, "hidden", ascii_lower);
  ASSERT_TRUE(found);
  EXPECT_FALSE(*found) << "an invisible window is never found";

  found = find_window_by_title(fake, "", ascii_lower);
  ASSERT_TRUE(found && *found);
  EXPECT_EQ((*found)->handle, 0x10) << "an empty needle matches the first listed window";

  found = find_window_by_title(fake, "edit class", ascii_lower);
  ASSERT_TRUE(found);
  EXPECT_FALSE(*found) << "class names are never searched";

  FakeWindowServices empty;
  found = find_window_by_title(empty, "", ascii_lower);
  ASSERT_TRUE(found);
  EXPECT_FALSE(*found);
}

TEST(FindWindowByTitle, MatchingNeedsOnlyTheRecordsAndStopsAtTheFirstMatch) {
  // The records are gathered first (without the interpreter lock, in the
  // module); the services are gone by the time titles are lower-cased.
  std::vector<WindowRecord> records;
  {
    FakeWindowServices fake = sample_windows();
    records = enumerate_windows(fake, false);
  }
  std::vector<std::string> lowered;
  auto recording = [&](std::string_view s) {
    lowered.emplace_back(s);
    return ascii_lower(s);
  };
  auto found = first_with_title(records, "second", recording);
  ASSERT_TRUE(found && *found);
  EXPECT_EQ((*found)->handle, 0x40);
  EXPECT_EQ((*found)->pid, 0u);
  EXPECT_EQ(lowered, (std::vector<std::string>{"Editor - Notes", "Second editor"}));

  lowered.clear();
  found = first_with_title(records, "editor", recording);
  ASSERT_TRUE(found && *found);
  EXPECT_EQ((*found)->handle, 0x10);
  EXPECT_EQ(lowered.size(), 1u);
}

TEST(FindWindowByTitle, FailingLowerCaseAbortsTheSearch) {
  FakeWindowServices fake = sample_windows();
  auto failing = [](std::string_view) -> std::optional<std::string> { return std::nullopt; };
  EXPECT_FALSE(find_window_by_title(fake, "x", failing).has_value());
}

TEST(FindWindowByHandle, DescribesAnyWindowAndReadsVisibilityLast) {
  FakeWindowServices fake = sample_windows();
  FakeWindow child = window(0x50, u"", u"ChildClass", 45u, false);
  child.top_level = false;
  fake.windows.push_back(child);

  fake.calls.clear();
  auto found = find_window_by_handle(fake, 0x50);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->handle, 0x50);
  EXPECT_EQ(found->class_name, "ChildClass");
  EXPECT_FALSE(found->visible);
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"length", "text", "class", "pid", "visible"}));

  EXPECT_FALSE(find_window_by_handle(fake, 0).has_value());
  EXPECT_FALSE(find_window_by_handle(fake, 0x999).has_value());
}

TEST(WindowRepr, HexHandleTitleAndPidOnly) {
  WindowRecord r{6699, "Untitled", "Cls", 42, true};
  EXPECT_EQ(window_repr(r), "WindowInfo(handle=0x1a2b, title='Untitled', pid=42)");
  r.handle = -1;
  r.title = "it's";
  EXPECT_EQ(window_repr(r), "WindowInfo(handle=0xffffffffffffffff, title='it's', pid=42)");
  r.handle = 0;
  EXPECT_EQ(window_repr(r), "WindowInfo(handle=0x0, title='it's', pid=42)");
}

TEST(MonitorEnumeration, IndexesFollowReportOrderAndFailuresKeepTheirPlace) {
  FakeWindowServices fake;
  fake.monitors.push_back(testing::monitor_entry(testing::monitor(0, 0, 1920, 1080, true, u"\\\\.\\DISPLAY1")));
  fake.monitors.push_back(testing::monitor_entry(testing::monitor(5, 5, 10, 10, true, u"X"), true));
  fake.monitors.push_back(
      testing::monitor_entry(testing::monitor(-1280, -200, 0, 824, false, u" side panel ")));

  const auto records = enumerate_monitors(fake);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].index, 0);
  EXPECT_EQ(records[0].name, "\\\\.\\DISPLAY1");
  EXPECT_EQ(records[0].width, 1920);
  EXPECT_EQ(records[0].height, 1080);
  EXPECT_TRUE(records[0].is_primary);

  EXPECT_EQ(records[1].index, 1);
  EXPECT_EQ(records[1].name, "");
  EXPECT_EQ(records[1].x, 0);
  EXPECT_EQ(records[1].width, 0);
  EXPECT_FALSE(records[1].is_primary);

  EXPECT_EQ(records[2].index, 2);
  EXPECT_EQ(records[2].name, " side panel ") << "only trailing NULs are removed";
  EXPECT_EQ(records[2].x, -1280);
  EXPECT_EQ(records[2].y, -200);
  EXPECT_EQ(records[2].width, 1280);
  EXPECT_EQ(records[2].height, 1024);
}

TEST(MonitorEnumeration, SizesWrapAroundIn32Bits) {
  FakeWindowServices fake;
  fake.monitors.push_back(
      testing::monitor_entry(testing::monitor(INT32_MIN, 0, INT32_MAX, 1, false, u"W")));
  const auto records = enumerate_monitors(fake);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].width, -1);
}

TEST(MonitorRepr, PrimaryAndSecondaryForms) {
  MonitorRecord primary{0, "\\\\.\\DISPLAY1", 0, 0, 1920, 1080, true};
  EXPECT_EQ(monitor_repr(primary),
            "MonitorInfo(index=0, name='\\\\.\\DISPLAY1', 1920x1080 @ (0,0), primary)");
  MonitorRecord left{1, "\\\\.\\DISPLAY2", -1280, 0, 1280, 1024, false};
  EXPECT_EQ(monitor_repr(left),
            "MonitorInfo(index=1, name='\\\\.\\DISPLAY2', 1280x1024 @ (-1280,0))");
}

}  // namespace
}  // namespace vorel
