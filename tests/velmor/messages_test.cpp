// The GBK message table, against the C library's own UTF-8 to GBK conversion
// of the message texts.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>

#include "support/gbk.h"
#include "support/status_name.h"
#include "velmor.h"

namespace kdx::test {
namespace {

const char* const kTexts[31] = {
    "操作成功！",       "函数调用参数错误！", "初始化串口失败！", "关闭串口失败！",   "读取串口状态失败！",
    "设置串口状态失败！", "创建线程失败！",     "创建事件失败！",   "串口发送错误！",   "串口接收错误！",
    "分配内存失败！",   "释放内存失败！",     "重复初始化串口错误！", "串口未初始化！", "读写设备未连接！",
    "串口通讯发生错误！", "读写器内未插卡！",   "该卡无法自动识别！", "卡类型错误！",   "地址溢出！",
    "长度溢出",         "区号或页号错误！",   "访问地址溢出！",   "索引号有误！",     "密码错误！",
    "认证失败！",       "没有复位应答！",     "复位应答有误！",   "不支持该卡使用的通讯协议！", "APDU长度错误！",
    "APDU格式错误！",
};

std::vector<uint8_t> message(uint32_t code) {
  uint8_t slot[40];
  std::memset(slot, 0xEE, sizeof slot);
  EXPECT_EQ(KDX_ErrorMsg(code, slot), ST_OK);
  EXPECT_EQ(slot[32], 0xEE) << "wrote past 32 bytes";
  return std::vector<uint8_t>(slot, slot + 32);
}

TEST(Messages, EverySlotIsTheGbkTextAndZeroFill) {
  for (uint32_t code = 0; code <= 30; ++code) {
    SCOPED_TRACE(code);
    std::vector<uint8_t> expected = to_gbk(kTexts[code]);
    ASSERT_LE(expected.size(), 26u);
    expected.resize(32, 0);
    EXPECT_EQ(message(code), expected);
  }
}

TEST(Messages, EdgeCases) {
  EXPECT_EQ(to_gbk("操作成功！").size(), 10u);
  EXPECT_EQ(to_gbk("不支持该卡使用的通讯协议！").size(), 26u);
  EXPECT_EQ(message(0x10010), message(16));  // low 16 bits
  EXPECT_EQ(message(31), std::vector<uint8_t>(32, 0));
  EXPECT_EQ(message(0xFFFF), std::vector<uint8_t>(32, 0));
  EXPECT_EQ(KDX_ErrorMsg(0, nullptr), ST_BAD_PARAMETER);
}

// Every status the header names.
const StatusName kNamed[] = {
    NAMED(ST_OK), NAMED(ST_BAD_PARAMETER), NAMED(ST_PORT_INIT_FAILED), NAMED(ST_PORT_CLOSE_FAILED),
    NAMED(ST_GET_STATE_FAILED), NAMED(ST_SET_STATE_FAILED), NAMED(ST_THREAD_FAILED), NAMED(ST_EVENT_FAILED),
    NAMED(ST_SEND_FAILED), NAMED(ST_RECEIVE_FAILED), NAMED(ST_ALLOC_FAILED), NAMED(ST_FREE_FAILED),
    NAMED(ST_ALREADY_OPEN), NAMED(ST_NOT_OPEN), NAMED(ST_NO_DEVICE), NAMED(ST_COMM_ERROR), NAMED(ST_NO_CARD),
    NAMED(ST_UNKNOWN_CARD), NAMED(ST_WRONG_CARD_TYPE), NAMED(ST_ADDRESS_OVERFLOW), NAMED(ST_LENGTH_OVERFLOW),
    NAMED(ST_BAD_ZONE), NAMED(ST_ACCESS_OVERFLOW), NAMED(ST_BAD_INDEX), NAMED(ST_WRONG_PASSWORD),
    NAMED(ST_AUTH_FAILED), NAMED(ST_NO_ATR), NAMED(ST_BAD_ATR), NAMED(ST_PROTOCOL_UNSUPPORTED),
    NAMED(ST_APDU_LENGTH), NAMED(ST_APDU_FORMAT),
};
#undef NAMED

// The name is the header's, the English text short and plain.
TEST(StatusDescriptions, EveryCodeHasTheHeadersNameAndAnEnglishText) {
  ASSERT_EQ(std::size(kNamed), 31u);
  for (const StatusName& status : kNamed) {
    SCOPED_TRACE(status.name);
    const char* name = nullptr;
    const char* text = nullptr;
    EXPECT_EQ(KDX_DescribeStatus(status.code, &name, &text), ST_OK);
    EXPECT_STREQ(name, status.name);
    ASSERT_NE(text, nullptr);
    const std::size_t length = std::strlen(text);
    EXPECT_GT(length, 0u);
    EXPECT_LE(length, 63u);
    EXPECT_NE(text[length - 1], '.');
  }
  const char* text = nullptr;
  EXPECT_EQ(KDX_DescribeStatus(ST_PORT_INIT_FAILED, nullptr, &text), ST_OK);
  EXPECT_STREQ(text, "cannot open the port");
}

TEST(StatusDescriptions, OutsideTheTableIsABadParameterWithEmptyTexts) {
  struct Row {
    uint32_t code;
    StatusCode status;
    const char* name;
  } const kRows[] = {
      {31, ST_BAD_PARAMETER, ""},
      {0xFFFF, ST_BAD_PARAMETER, ""},
      {0x10000 + ST_NO_CARD, ST_OK, "ST_NO_CARD"},  // only the low 16 bits count
  };
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.code);
    const char* name = "unset";
    const char* text = "unset";
    EXPECT_EQ(KDX_DescribeStatus(row.code, &name, &text), row.status);
    EXPECT_STREQ(name, row.name);
    if (row.status != ST_OK) {
      EXPECT_STREQ(text, "");
    }
  }
  EXPECT_EQ(KDX_DescribeStatus(0, nullptr, nullptr), ST_OK);
}

}  // namespace
}  // namespace kdx::test
