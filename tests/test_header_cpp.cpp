#include <gtest/gtest.h>

#include <cstddef>

#include "yv_api_websocket.h"

extern "C" int yws_c_fill_parm(yws_parm_t *p, int err);
extern "C" size_t yws_c_parm_size(void);
extern "C" size_t yws_c_virtual_offset(void);

// C writes `virtual`, C++ reads `virtual_`: the same member of the same layout.
TEST(PublicHeader, VirtualMemberIsSharedBetweenCAndCpp) {
  yws_parm_t p{};
  EXPECT_EQ(yws_c_fill_parm(&p, YWS_ERR_TIMEDOUT), YWS_ERR_TIMEDOUT);
  EXPECT_EQ(p.virtual_, YWS_ERR_TIMEDOUT);
  EXPECT_EQ(yws_c_parm_size(), sizeof(yws_parm_t));
  EXPECT_EQ(yws_c_virtual_offset(), offsetof(yws_parm_t, virtual_));
  EXPECT_EQ(sizeof(yv_event_t), 16u);
}
