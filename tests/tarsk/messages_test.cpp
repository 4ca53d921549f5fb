// The 70-slot GBK message table, against the C library's own UTF-8 to GBK
// conversion of the message texts.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "support/gbk.h"
#include "support/status_name.h"
#include "tarsk.h"

namespace kdx::test {
namespace {

const char* text_of(int code) {
  static const char* const kNamed[] = {
      "操作成功！", "未放置卡片或认证错误！", "数据校验错误！", "数值型操作溢出！", "认证失败！",
      "奇偶校验错误！", "读写设备与卡片通讯错误！", nullptr, "读卡号错误！", nullptr,
      "卡片尚未被认证！", "读卡操作比特数错误！", "读卡操作字节数错误！", "空闲状态！", "回写数值失败！",
      "写卡操作失败！", "增值操作失败！", "减值操作失败！", "读卡操作失败！", nullptr,
      "上一操作已被中断！", "该地址不是值存储区！",
  };
  static const char* const kFrom32[] = {
      "读写器不支持该操作！", "函数调用参数错误！", "初始化串口失败！", "关闭串口失败！",
      "读取串口状态失败！", "设置串口状态失败！", "创建线程失败！", "创建事件失败！",
      "串口发送错误！", "串口接收错误！", "分配内存失败！", "释放内存失败！",
      "重复初始化串口错误！", "串口未初始化！", "读写设备未连接！", "串口通讯发生错误！",
      "读写器内未插卡！", "该卡无法自动识别！", "卡类型错误！", "地址溢出！",
      "长度溢出！", "区号或页号错误！", "访问地址溢出！", "索引号有误！",
      "密码错误！", "认证失败！", "卡片还没有被上电！", "没有复位应答！",
      "复位应答有误！", "不支持该卡使用的通讯协议！", "APDU长度错误！", "APDU格式错误！",
      "没有收到应答！", "错误校验码错误！", "复位应答不完整！", "选择通讯协议失败！",
      "不支持该通讯速率！", "命令被中断或应答错误！",
  };
  const char* undefined = "该错误号未定义！";
  if (code < 22) return kNamed[code] != nullptr ? kNamed[code] : undefined;
  if (code < 32) return undefined;
  return kFrom32[code - 32];
}

TEST(TarskMessages, EverySlotIsTheGbkTextAndZeroFill) {
  for (int code = 0; code < 70; ++code) {
    SCOPED_TRACE(code);
    std::vector<uint8_t> expected = to_gbk(text_of(code));
    ASSERT_LE(expected.size(), 26u);
    expected.resize(32, 0);
    uint8_t slot[33];
    slot[32] = 0xEE;
    ASSERT_EQ(KDX_ErrorMsg(static_cast<uint32_t>(code), slot), ST_OK);
    EXPECT_EQ(std::vector<uint8_t>(slot, slot + 32), expected);
    EXPECT_EQ(slot[32], 0xEE);
  }
}

TEST(TarskMessages, OutOfRangeAndLowBits) {
  uint8_t slot[32];
  std::memset(slot, 0xEE, sizeof slot);
  EXPECT_EQ(KDX_ErrorMsg(70, slot), ST_BAD_PARAMETER);
  EXPECT_EQ(slot[0], 0xEE);
  ASSERT_EQ(KDX_ErrorMsg(65536 + 45, slot), ST_OK);
  std::vector<uint8_t> expected = to_gbk("串口未初始化！");
  EXPECT_EQ(std::vector<uint8_t>(slot, slot + expected.size()), expected);
  uint8_t four[32], fifty_seven[32];
  ASSERT_EQ(KDX_ErrorMsg(4, four), ST_OK);
  ASSERT_EQ(KDX_ErrorMsg(57, fifty_seven), ST_OK);
  EXPECT_EQ(std::memcmp(four, fifty_seven, 32), 0);
  EXPECT_EQ(KDX_ErrorMsg(69, nullptr), ST_BAD_PARAMETER);
}

// Every status the header names.
const StatusName kNamed[] = {
    NAMED(ST_OK), NAMED(ST_NO_CARD_OR_AUTH), NAMED(ST_DATA_CHECK), NAMED(ST_VALUE_OVERFLOW),
    NAMED(ST_CARD_AUTH_FAILED), NAMED(ST_PARITY), NAMED(ST_CARD_COMM), NAMED(ST_CARD_NUMBER),
    NAMED(ST_NOT_AUTHENTICATED), NAMED(ST_BIT_COUNT), NAMED(ST_BYTE_COUNT), NAMED(ST_IDLE),
    NAMED(ST_RESTORE_FAILED), NAMED(ST_WRITE_FAILED), NAMED(ST_INCREMENT_FAILED), NAMED(ST_DECREMENT_FAILED),
    NAMED(ST_READ_FAILED), NAMED(ST_INTERRUPTED), NAMED(ST_NOT_VALUE_BLOCK), NAMED(ST_NOT_SUPPORTED),
    NAMED(ST_BAD_PARAMETER), NAMED(ST_PORT_INIT_FAILED), NAMED(ST_PORT_CLOSE_FAILED),
    NAMED(ST_GET_STATE_FAILED), NAMED(ST_SET_STATE_FAILED), NAMED(ST_THREAD_FAILED), NAMED(ST_EVENT_FAILED),
    NAMED(ST_SEND_FAILED), NAMED(ST_RECEIVE_FAILED), NAMED(ST_ALLOC_FAILED), NAMED(ST_FREE_FAILED),
    NAMED(ST_ALREADY_OPEN), NAMED(ST_NOT_OPEN), NAMED(ST_NO_DEVICE), NAMED(ST_COMM_ERROR), NAMED(ST_NO_CARD),
    NAMED(ST_UNKNOWN_CARD), NAMED(ST_WRONG_CARD_TYPE), NAMED(ST_ADDRESS_OVERFLOW), NAMED(ST_LENGTH_OVERFLOW),
    NAMED(ST_BAD_ZONE), NAMED(ST_ACCESS_OVERFLOW), NAMED(ST_BAD_INDEX), NAMED(ST_WRONG_PASSWORD),
    NAMED(ST_AUTH_FAILED), NAMED(ST_CARD_NOT_POWERED), NAMED(ST_NO_ATR), NAMED(ST_BAD_ATR),
    NAMED(ST_PROTOCOL_UNSUPPORTED), NAMED(ST_APDU_LENGTH), NAMED(ST_APDU_FORMAT), NAMED(ST_NO_RESPONSE),
    NAMED(ST_EDC_ERROR), NAMED(ST_ATR_INCOMPLETE), NAMED(ST_PPS_FAILED), NAMED(ST_BAUD_UNSUPPORTED),
    NAMED(ST_BAD_RESPONSE),
};
#undef NAMED

TEST(TarskStatusDescriptions, EveryCodeHasTheHeadersNameOrIsUndefined) {
  std::set<uint32_t> named;
  for (const StatusName& status : kNamed) {
    SCOPED_TRACE(status.name);
    named.insert(status.code);
    const char* name = nullptr;
    const char* text = nullptr;
    EXPECT_EQ(KDX_DescribeStatus(status.code, &name, &text), ST_OK);
    EXPECT_STREQ(name, status.name);
    ASSERT_NE(text, nullptr);
    EXPECT_GT(std::strlen(text), 0u);
    EXPECT_LE(std::strlen(text), 63u);
  }
  // The codes the header leaves out (7, 9, 19, 22 to 31) are in the table,
  // without a condition.
  for (uint32_t code = 0; code <= 69; ++code) {
    if (named.count(code) != 0) continue;
    SCOPED_TRACE(code);
    const char* name = nullptr;
    const char* text = nullptr;
    EXPECT_EQ(KDX_DescribeStatus(code, &name, &text), ST_OK);
    EXPECT_STREQ(name, "");
    EXPECT_STREQ(text, "undefined status code");
  }
  EXPECT_EQ(named.size(), 70u - 13u);
}

TEST(TarskStatusDescriptions, OutsideTheTableIsABadParameter) {
  const char* name = "unset";
  const char* text = "unset";
  EXPECT_EQ(KDX_DescribeStatus(70, &name, &text), ST_BAD_PARAMETER);
  EXPECT_STREQ(name, "");
  EXPECT_STREQ(text, "");
  EXPECT_EQ(KDX_DescribeStatus(0x10000 + ST_NOT_OPEN, &name, nullptr), ST_OK);
  EXPECT_STREQ(name, "ST_NOT_OPEN");
}

}  // namespace
}  // namespace kdx::test
