// The SDK helpers: the same calls compiled as C99 and as C++ raise the same
// records, each filled as its event kind requires and zero elsewhere.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "plugin_api/helpers.h"

extern "C" void dv_helpers_raise_each(PluginEventCallbackFn raise);

namespace cxx {
#include "abi/helpers_c99.c"
}  // namespace cxx

namespace {

struct Raised {
  _EventParmsIn in;
  std::string text;  // the payload, as raised
};

std::vector<Raised> g_raised;

int32_t Record(_EventParmsIn* in, _EventParmsOut* out) {
  Raised r{*in, in->data && in->len ? std::string(static_cast<char*>(in->data), in->len) : ""};
  g_raised.push_back(r);
  EXPECT_EQ(out->size, sizeof *out);
  EXPECT_EQ(out->version, DV_EVENT_VERSION);
  EXPECT_EQ(out->result, DV_RESULT_OK);
  out->result = 40 + static_cast<int32_t>(g_raised.size());
  return 0;
}

std::vector<Raised> RaiseEach(void (*each)(PluginEventCallbackFn)) {
  g_raised.clear();
  each(&Record);
  return g_raised;
}

// The record with the fields named here, zero everywhere else.
_EventParmsIn Expected(uint32_t provider, uint32_t type, uint32_t flags, uint32_t len) {
  _EventParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = DV_EVENT_VERSION;
  in.providerID = provider;
  in.eventType = type;
  in.flags = flags;
  in.len = len;
  return in;
}

TEST(SdkHelpers, RaiseTheSameRecordsFromCAndCxx) {
  const std::vector<Raised> fromC = RaiseEach(&dv_helpers_raise_each);
  const std::vector<Raised> fromCxx = RaiseEach(&cxx::dv_helpers_raise_each);
  ASSERT_EQ(fromC.size(), 10u) << "an empty log text raises nothing";

  const uint32_t id = 0x00420000u;
  std::vector<_EventParmsIn> expected = {
      Expected(id, DV_EVENT_LOG, DV_FLAG_LOG_MESSAGE, 10),       // "started 7" + NUL
      Expected(id, DV_EVENT_LOG, DV_FLAG_LOG_MESSAGE, 16),       // cut to 15 + NUL
      Expected(id, DV_EVENT_LOG, DV_FLAG_LOG_QUERY, 0),
      Expected(id, DV_EVENT_RELEASE, 0, 0),
      Expected(id, DV_EVENT_PARENT_SEND, 0, 3),
      Expected(0, DV_EVENT_CLASS3, 0x01000004u, 3),
      Expected(id, DV_EVENT_CLASS3, 0x4u, 3),
      Expected(0, DV_EVENT_CLOSE_REQUEST, 0, 0),
      Expected(id, DV_EVENT_CONFIG, DV_FLAG_XML, 4),
      Expected(id, DV_EVENT_VIDEO | DV_EVENT_CLASS8, DV_FLAG_VIDEO, 0)};
  expected[0].level = 50;
  expected[1].level = 100;
  const std::vector<std::string> texts = {std::string("started 7\0", 10),
                                          std::string("a text longer t\0", 16),
                                          "", "", "blk", "req", "rep", "", "<U/>", ""};
  for (const auto* raised : {&fromC, &fromCxx}) {
    for (size_t i = 0; i < expected.size(); ++i) {
      _EventParmsIn got = (*raised)[i].in;
      EXPECT_EQ((*raised)[i].text, texts[i]) << i;
      // Pointers are the caller's; their presence is checked, then cleared.
      EXPECT_EQ(got.data == nullptr, i == 2 || i == 7 || i == 9) << i;
      EXPECT_EQ(got.context != nullptr, i >= 5 && i <= 7) << i;
      got.data = nullptr;
      got.context = nullptr;
      EXPECT_EQ(std::memcmp(&got, &expected[i], sizeof got), 0) << "record " << i;
    }
  }
}

TEST(SdkHelpers, ReturnTheCoreResultAndRaiseNothingWithoutACallback) {
  g_raised.clear();
  EXPECT_EQ(dv_query_log_level(&Record, 0x00420000u), 41);
  char text[8];
  EXPECT_EQ(dv_log(nullptr, 1, 50, text, sizeof text, "x"), DV_RESULT_REFUSED);
  EXPECT_EQ(dv_release(nullptr, 1, text), DV_RESULT_REFUSED);
  EXPECT_EQ(g_raised.size(), 1u);
}

TEST(SdkHelpers, NameKindsAndClasses) {
  EXPECT_EQ(dv_id_kind(0x80130000u), 0x13u);
  EXPECT_EQ(dv_id_kind(0x0FFF0000u), 0xfffu);
  EXPECT_TRUE(dv_id_is_loadable(0x80FF0000u));
  EXPECT_FALSE(dv_id_is_loadable(0x01000000u));
  EXPECT_STREQ(dv_class_name(0), "video");
  EXPECT_STREQ(dv_class_name(2), "status");
  EXPECT_STREQ(dv_class_name(6), "log");
  EXPECT_STREQ(dv_class_name(8), "class8");
  EXPECT_EQ(dv_class_name(9), nullptr);
  EXPECT_EQ(dv_class_name(-1), nullptr);
}

}  // namespace
