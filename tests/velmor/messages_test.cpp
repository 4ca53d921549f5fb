// The GBK message table, against the C library's own UTF-8 to GBK conversion
// of the message texts.
#include <gtest/gtest.h>

#include <cstring>

#include "support/gbk.h"
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

}  // namespace
}  // namespace kdx::test
