/* Main of the service tests: the library's blocks are counted, and can be made
 * to fail, from its first allocation, so heap figures compare across a test. */
#include <gtest/gtest.h>

#include "yv_mem_test.h"

int main(int argc, char **argv) {
  yv_mem_install_lws_allocator();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
