// The monitor list made from RandR's monitors: the server's order and names
// kept, the whole screen when there are none, and names cut to what
// MONITORINFOEXW's device name holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/linux/x11_monitors.h"

namespace vorel::platform::x11 {
namespace {

std::u16string device_of(const MonitorInfoEx& m) { return std::u16string(m.device); }

void expect_rect(const Rect& r, int32_t left, int32_t top, int32_t right, int32_t bottom) {
  EXPECT_EQ(r.left, left);
  EXPECT_EQ(r.top, top);
  EXPECT_EQ(r.right, right);
  EXPECT_EQ(r.bottom, bottom);
}

TEST(X11Monitors, TheServersOrderNamesAndRectanglesAreKept) {
  // The primary one second: nothing is sorted.
  const std::vector<MonitorInfoEx> infos = monitor_infos(
      {{u"RIGHT", 960, 0, 960, 1080, false}, {u"LEFT", -1280, -200, 1280, 1024, true}}, 1920,
      1080);
  ASSERT_EQ(infos.size(), 2u);
  EXPECT_EQ(device_of(infos[0]), u"RIGHT");
  expect_rect(infos[0].monitor, 960, 0, 1920, 1080);
  expect_rect(infos[0].work, 960, 0, 1920, 1080);
  EXPECT_EQ(infos[0].flags, 0u);
  EXPECT_EQ(device_of(infos[1]), u"LEFT");
  expect_rect(infos[1].monitor, -1280, -200, 0, 824);
  EXPECT_EQ(infos[1].flags, kMonitorPrimary);
  // A monitor whose name could not be read keeps its place, unnamed.
  const std::vector<MonitorInfoEx> unnamed = monitor_infos({{u"", 0, 0, 800, 600, true}}, 1920, 1080);
  ASSERT_EQ(unnamed.size(), 1u);
  EXPECT_EQ(device_of(unnamed[0]), u"");
  expect_rect(unnamed[0].monitor, 0, 0, 800, 600);
}

TEST(X11Monitors, NoMonitorsMeanTheWholeScreenAsThePrimaryOne) {
  const std::vector<MonitorInfoEx> infos = monitor_infos({}, 1920, 1080);
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(device_of(infos[0]), u"SCREEN");
  expect_rect(infos[0].monitor, 0, 0, 1920, 1080);
  EXPECT_EQ(infos[0].flags, kMonitorPrimary);
}

TEST(X11Monitors, LongNamesKeep31UnitsAndNeverHalfASurrogatePair) {
  const std::u16string face = u"\U0001F600";  // two units
  struct Case {
    std::u16string name;
    std::u16string kept;
  };
  const Case cases[] = {
      {std::u16string(31, u'A'), std::u16string(31, u'A')},
      {std::u16string(40, u'A'), std::u16string(31, u'A')},
      {std::u16string(29, u'A') + face, std::u16string(29, u'A') + face},
      {std::u16string(30, u'A') + face, std::u16string(30, u'A')},
      {std::u16string(30, u'A') + face + u"B", std::u16string(30, u'A')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.size());
    const std::vector<MonitorInfoEx> infos = monitor_infos({{c.name, 0, 0, 1, 1, true}}, 1, 1);
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(device_of(infos[0]), c.kept);
    EXPECT_EQ(infos[0].device[31], u'\0');
  }
}

}  // namespace
}  // namespace vorel::platform::x11
