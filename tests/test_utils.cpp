#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "ringbuffer.h"
#include "yavo_linklist.h"
#include "yv_mem_test.h"

/* A 13-byte ring against a deque model: writes and reads wrap around the end many times. */
TEST(RingBuffer, MatchesQueueModelAcrossWrapAndReleasesStorage) {
  size_t base = yv_mem_bytes_in_use();
  ring_buffer_t r;
  constexpr int32_t kSize = 13;
  ASSERT_EQ(ring_buffer_init2(&r, static_cast<uint8_t *>(yv_mem_chunk_alloc(kSize)), kSize), 0);
  std::deque<char> model;
  std::mt19937 rng(7);
  int wraps = 0;
  for (int step = 0; step < 2000; step++) {
    int32_t n = int32_t(rng() % 9), before = r.write_offset;
    std::string buf(size_t(n), '\0');
    if (rng() % 2) {
      for (char &ch : buf) ch = char('a' + rng() % 26);
      int32_t wrote = ring_buffer_write(buf.data(), n, &r);
      ASSERT_EQ(wrote, std::min<int32_t>(n, kSize - int32_t(model.size())));
      model.insert(model.end(), buf.begin(), buf.begin() + wrote);
      wraps += r.write_offset < before;
    } else {
      int how = int(rng() % 3);  // peek, read, drop
      int32_t got = how == 0   ? ring_buffer_peek(&r, &buf[0], n)
                    : how == 1 ? ring_buffer_read(&r, &buf[0], n)
                               : ring_buffer_drop(&r, n);
      ASSERT_EQ(size_t(got), std::min<size_t>(size_t(n), model.size()));
      if (how < 2) {
        ASSERT_EQ(buf.substr(0, size_t(got)), std::string(model.begin(), model.begin() + got));
      }
      if (how > 0) model.erase(model.begin(), model.begin() + got);
    }
    ASSERT_EQ(r.valid_size, int32_t(model.size()));
  }
  EXPECT_GT(wraps, 10);
  ring_buffer_deinit(&r);
  EXPECT_EQ(r.buffer, nullptr);
  EXPECT_EQ(yv_mem_bytes_in_use(), base);
}

namespace {

/* Payloads from head to tail. */
std::vector<int> Values(linklist_handler_t *l) {
  std::vector<int> out;
  linklist *node = nullptr;
  for (uint32_t i = 0; linklist_node_find(l, i, &node) == 0; i++) {
    int v;
    memcpy(&v, node->data, sizeof v);
    out.push_back(v);
  }
  uint32_t cnt = 0;
  EXPECT_EQ(linklist_get_node_cnt(l, &cnt), 0);
  EXPECT_EQ(out.size(), cnt);
  return out;
}

void Push(linklist_handler_t *l, int dir, int v) {
  ASSERT_EQ(linklist_push(l, dir, &v, sizeof v), 0);
}

}  // namespace

TEST(LinkList, InsertionOrderAndDeletion) {
  linklist_handler_t l = nullptr;
  ASSERT_EQ(linklist_init(&l), 0);
  for (int v = 1; v <= 5; v++) Push(&l, DIR_FIFO, v);
  Push(&l, DIR_LIFO, 0);
  EXPECT_EQ(Values(&l), (std::vector<int>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(linklist_node_delete(&l, 3), 0); /* middle */
  EXPECT_EQ(linklist_node_delete(&l, 0), 0); /* head */
  EXPECT_EQ(linklist_node_delete(&l, 3), 0); /* tail */
  EXPECT_EQ(linklist_node_delete(&l, 3), LINKLIST_ERR_NOT_FOUND);
  Push(&l, DIR_FIFO, 6);
  EXPECT_EQ(Values(&l), (std::vector<int>{1, 2, 4, 6}));

  Push(&l, DIR_SIFO, 7); /* no cursor: at the tail */
  Push(&l, DIR_FIFO, 8);
  Push(&l, DIR_SIFO, 9); /* after the previous SIFO node */
  EXPECT_EQ(Values(&l), (std::vector<int>{1, 2, 4, 6, 7, 9, 8}));
  for (uint32_t n = 7; n > 0; n--) ASSERT_EQ(linklist_node_delete(&l, n - 1), 0);
  Push(&l, DIR_FIFO, 10);
  EXPECT_EQ(Values(&l), (std::vector<int>{10}));
  EXPECT_EQ(linklist_deinit(&l), 0);
  EXPECT_EQ(l, nullptr);

  int v = 1;
  uint32_t cnt;
  EXPECT_EQ(linklist_init(nullptr), LINKLIST_ERR_PARAM);
  EXPECT_EQ(linklist_push(&l, DIR_FIFO, &v, sizeof v), LINKLIST_ERR_PARAM);
  EXPECT_EQ(linklist_get_node_cnt(nullptr, &cnt), LINKLIST_ERR_PARAM);
  EXPECT_EQ(linklist_node_delete(&l, 0), LINKLIST_ERR_PARAM);
  EXPECT_EQ(linklist_deinit(&l), LINKLIST_ERR_PARAM);
}
