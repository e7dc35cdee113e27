// The plugin records as a plugin built on this host sees them.
//
// Offsets on the 32-bit appliance are pinned by static assertions in the
// headers and checked by the armv7 compile tests; here the constants that
// plugins compile in are pinned, and the few layout facts that the core's
// own code relies on on every target.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstddef>
#include <cstring>
#include <ctime>

#include "plugin_api/plugin.h"

extern "C" int dv_abi_c_record_sizes(void);

namespace {

// The wall clock runs past January 2038 on every target, the 32-bit
// appliance included (the headers refuse to compile otherwise).
TEST(Build, TimeIsSixtyFourBits) {
  EXPECT_EQ(sizeof(std::time_t), 8u);
  EXPECT_EQ(sizeof(off_t), 8u);
}

TEST(PluginRecords, CompileAsC99) {
  EXPECT_EQ(dv_abi_c_record_sizes(),
            static_cast<int>(sizeof(_EventParmsIn) + sizeof(_EventParmsOut)));
}

TEST(PluginRecords, ConstantsPluginsCompileIn) {
  const unsigned classes[] = {DV_EVENT_VIDEO,  DV_EVENT_CLASS1, DV_EVENT_STATUS,
                              DV_EVENT_CLASS3, DV_EVENT_CLASS4, DV_EVENT_CLASS5,
                              DV_EVENT_LOG,    DV_EVENT_CLASS7, DV_EVENT_CLASS8};
  const unsigned expected[] = {0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80, 0x400};
  unsigned all = 0;
  for (int i = 0; i < DV_MASK_COUNT; ++i) {
    EXPECT_EQ(classes[i], expected[i]) << i;
    EXPECT_EQ(DV_CLASS_BIT(i), expected[i]) << i;
    all |= expected[i];
  }
  EXPECT_EQ(DV_CLASS_BITS, all);
  EXPECT_EQ(DV_EVENT_CONFIG, 0x100u);
  EXPECT_EQ(DV_EVENT_RELEASE, 0x200u);
  EXPECT_EQ(DV_EVENT_CLOSE_REQUEST, 0x1000u);
  EXPECT_EQ(DV_EVENT_PARENT_SEND, 0x2000u);
  EXPECT_EQ(DV_FLAG_LOG_QUERY, 0x1u);
  EXPECT_EQ(DV_FLAG_LOG_MESSAGE, 0x2u);
  EXPECT_EQ(DV_FLAG_XML, 0x10u);
  EXPECT_EQ(DV_FLAG_VIDEO, 0x1000000u);
  EXPECT_EQ(DV_CORE_ID, 0x80000000u);
  EXPECT_EQ(DV_KIND_INDEX(0x80000000u), 0u);
  EXPECT_EQ(DV_KIND_INDEX(0x0FFF1234u), 0xfffu);
  EXPECT_EQ(DV_RESULT_NO_MEMORY, -1);
  EXPECT_EQ(DV_RESULT_NO_KEY_FRAME, 3);
  EXPECT_EQ(DV_RESULT_TOO_MANY_FRAMES, 4);
  EXPECT_EQ(DV_RESULT_THROTTLED, 5);
  EXPECT_EQ(DV_IOCTL_WORKER, 1u);
  EXPECT_EQ(DV_IOCTL_CONFIG_UPDATE, 2u);
  EXPECT_EQ(DV_IOCTL_PARENT_REQUEST, 4u);
  EXPECT_EQ(DV_MASK_CLOSE_ORDER, 5);
}

// The nested request block of an IOCTL input runs from its size word to the
// end of the record: 16 bytes on the appliance.
TEST(PluginRecords, IoctlDataBlockSpansToTheEndOfTheRecord) {
  EXPECT_EQ(DV_IOCTL_IN_BLOCK, sizeof(_IoctlParmsIn) - offsetof(_IoctlParmsIn, blockSize));
  if (sizeof(void*) == 4) {
    EXPECT_EQ(DV_IOCTL_IN_BLOCK, 16u);
  }
  EXPECT_EQ(DV_BLOCK_HEADER_ONLY, 8u);
}

// The core hands plugins the queued event's bytes from `len` on; the fixed
// tail after `flags` is copied as one block, so it must line up.
TEST(PluginRecords, EventTailLinesUpWithWriteRecord) {
  const size_t eventTail = offsetof(_EventParmsIn, passThrough0);
  const size_t writeTail = offsetof(_WriteParmsIn, passThrough0);
  EXPECT_EQ(offsetof(_EventParmsIn, level) - eventTail, offsetof(_WriteParmsIn, level) - writeTail);
  EXPECT_EQ(offsetof(_EventParmsIn, keyFrame) - eventTail,
            offsetof(_WriteParmsIn, keyFrame) - writeTail);
  EXPECT_EQ(sizeof(_EventParmsIn) - eventTail, sizeof(_WriteParmsIn) - writeTail);
}

}  // namespace
