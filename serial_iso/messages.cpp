// Tarsk's status messages: 70 slots of 32 bytes, the text in GBK (code page
// 936) followed by zero bytes. Codes that name no condition hold the
// "undefined code" text.
#include <cstring>

#include "platform/status_descriptions.h"
#include "tarsk.h"

namespace kdx::tarsk {
namespace {

constexpr std::size_t kSlotSize = 32;
constexpr std::size_t kMessageCount = 70;

// String literals fill the rest of each slot with zero bytes.
constexpr char kMessages[kMessageCount][kSlotSize] = {
    /*  0 ST_OK: 操作成功！ */ "\xB2\xD9\xD7\xF7\xB3\xC9\xB9\xA6\xA3\xA1",
    /*  1 ST_NO_CARD_OR_AUTH: 未放置卡片或认证错误！ */ "\xCE\xB4\xB7\xC5\xD6\xC3\xBF\xA8\xC6\xAC\xBB\xF2\xC8\xCF\xD6\xA4\xB4\xED\xCE\xF3\xA3\xA1",
    /*  2 ST_DATA_CHECK: 数据校验错误！ */ "\xCA\xFD\xBE\xDD\xD0\xA3\xD1\xE9\xB4\xED\xCE\xF3\xA3\xA1",
    /*  3 ST_VALUE_OVERFLOW: 数值型操作溢出！ */ "\xCA\xFD\xD6\xB5\xD0\xCD\xB2\xD9\xD7\xF7\xD2\xE7\xB3\xF6\xA3\xA1",
    /*  4 ST_CARD_AUTH_FAILED: 认证失败！ */ "\xC8\xCF\xD6\xA4\xCA\xA7\xB0\xDC\xA3\xA1",
    /*  5 ST_PARITY: 奇偶校验错误！ */ "\xC6\xE6\xC5\xBC\xD0\xA3\xD1\xE9\xB4\xED\xCE\xF3\xA3\xA1",
    /*  6 ST_CARD_COMM: 读写设备与卡片通讯错误！ */ "\xB6\xC1\xD0\xB4\xC9\xE8\xB1\xB8\xD3\xEB\xBF\xA8\xC6\xAC\xCD\xA8\xD1\xB6\xB4\xED\xCE\xF3\xA3\xA1",
    /*  7 (none): 该错误号未定义！ */ "\xB8\xC3\xB4\xED\xCE\xF3\xBA\xC5\xCE\xB4\xB6\xA8\xD2\xE5\xA3\xA1",
    /*  8 ST_CARD_NUMBER: 读卡号错误！ */ "\xB6\xC1\xBF\xA8\xBA\xC5\xB4\xED\xCE\xF3\xA3\xA1",
    /*  9 (none): 该错误号未定义！ */ "\xB8\xC3\xB4\xED\xCE\xF3\xBA\xC5\xCE\xB4\xB6\xA8\xD2\xE5\xA3\xA1",
    /* 10 ST_NOT_AUTHENTICATED: 卡片尚未被认证！ */ "\xBF\xA8\xC6\xAC\xC9\xD0\xCE\xB4\xB1\xBB\xC8\xCF\xD6\xA4\xA3\xA1",
    /* 11 ST_BIT_COUNT: 读卡操作比特数错误！ */ "\xB6\xC1\xBF\xA8\xB2\xD9\xD7\xF7\xB1\xC8\xCC\xD8\xCA\xFD\xB4\xED\xCE\xF3\xA3\xA1",
    /* 12 ST_BYTE_COUNT: 读卡操作字节数错误！ */ "\xB6\xC1\xBF\xA8\xB2\xD9\xD7\xF7\xD7\xD6\xBD\xDA\xCA\xFD\xB4\xED\xCE\xF3\xA3\xA1",
    /* 13 ST_IDLE: 空闲状态！ */ "\xBF\xD5\xCF\xD0\xD7\xB4\xCC\xAC\xA3\xA1",
    /* 14 ST_RESTORE_FAILED: 回写数值失败！ */ "\xBB\xD8\xD0\xB4\xCA\xFD\xD6\xB5\xCA\xA7\xB0\xDC\xA3\xA1",
    /* 15 ST_WRITE_FAILED: 写卡操作失败！ */ "\xD0\xB4\xBF\xA8\xB2\xD9\xD7\xF7\xCA\xA7\xB0\xDC\xA3\xA1",
    /* 16 ST_INCREMENT_FAILED: 增值操作失败！ */ "\xD4\xF6\xD6\xB5\xB2\xD9\xD7\xF7\xCA\xA7\xB0\xDC\xA3\xA1",
    /* 17 ST_DECREMENT_FAILED: 减值操作失败！ */ "\xBC\xF5\xD6\xB5\xB2\xD9\xD7\xF7\xCA\xA7\xB0\xDC\xA3\xA1",
    /* 18 ST_READ_FAILED: 读卡操作失败！ */ "\xB6\xC1\xBF\xA8\xB2\xD9\xD7\xF7\xCA\xA7\xB0\xDC\xA3\xA1",
    /* 19 (none): 该错误号未定义！ */ "\xB8\xC3\xB4\xED\xCE\xF3\xBA\xC5\xCE\xB4\xB6\xA8\xD2\xE5\xA3\xA1",
    /* 20 ST_INTERRUPTED: 上一操作已被中断！ */ "\xC9\xCF\xD2\xBB\xB2\xD9\xD7\xF7\xD2\xD1\xB1\xBB\xD6\xD0\xB6\xCF\xA3\xA1",
    /* 21 ST_NOT_VALUE_BLOCK: 该地址不是值存储区！ */ "\xB8\xC3\xB5\xD8\xD6\xB7\xB2\xBB\xCA\xC7\xD6\xB5\xB4\xE6\xB4\xA2\xC7\xF8\xA3\xA1",
    /* 22 (none): 该错误号未定义！ */ "\xB8\xC3\xB4\xED\xCE\xF3\xBA\xC5\xCE\xB4\xB6\xA8\xD2\xE5\xA3\xA1",
    /* 23 (none): 该错误号未定义！ */ "\xB8\xC3\xB4\xED\xCE\xF3\xBA\xC5\xCE\xB4\xB6\xA8\xD2\xE5\xA3\xA1",
    /* 24 (none): 该错误号未定义！ */ "\xB8\xC3\xB4\xED\xCE\xF3\xBA\xC5\xCE\xB4\xB6\xA8\xD2\xE5\xA3\xA1",
    /* 25 (none): 该错误号未定义！ */ "\xB8\xC3\xB4\xED\xCE\xF3\xBA\xC5\xCE\xB4\xB6\xA8\xD2\xE5\xA3\xA1",
    /* 26 (none): 该错误号未定义！ */ "\xB8\xC3\xB4\xED\xCE\xF3\xBA\xC5\xCE\xB4\xB6\xA8\xD2\xE5\xA3\xA1",
    /* 27 (none): 该错误号未定义！ */ "\xB8\xC3\xB4\xED\xCE\xF3\xBA\xC5\xCE\xB4\xB6\xA8\xD2\xE5\xA3\xA1",
    /* 28 (none): 该错误号未定义！ */ "\xB8\xC3\xB4\xED\xCE\xF3\xBA\xC5\xCE\xB4\xB6\xA8\xD2\xE5\xA3\xA1",
    /* 29 (none): 该错误号未定义！ */ "\xB8\xC3\xB4\xED\xCE\xF3\xBA\xC5\xCE\xB4\xB6\xA8\xD2\xE5\xA3\xA1",
    /* 30 (none): 该错误号未定义！ */ "\xB8\xC3\xB4\xED\xCE\xF3\xBA\xC5\xCE\xB4\xB6\xA8\xD2\xE5\xA3\xA1",
    /* 31 (none): 该错误号未定义！ */ "\xB8\xC3\xB4\xED\xCE\xF3\xBA\xC5\xCE\xB4\xB6\xA8\xD2\xE5\xA3\xA1",
    /* 32 ST_NOT_SUPPORTED: 读写器不支持该操作！ */ "\xB6\xC1\xD0\xB4\xC6\xF7\xB2\xBB\xD6\xA7\xB3\xD6\xB8\xC3\xB2\xD9\xD7\xF7\xA3\xA1",
    /* 33 ST_BAD_PARAMETER: 函数调用参数错误！ */ "\xBA\xAF\xCA\xFD\xB5\xF7\xD3\xC3\xB2\xCE\xCA\xFD\xB4\xED\xCE\xF3\xA3\xA1",
    /* 34 ST_PORT_INIT_FAILED: 初始化串口失败！ */ "\xB3\xF5\xCA\xBC\xBB\xAF\xB4\xAE\xBF\xDA\xCA\xA7\xB0\xDC\xA3\xA1",
    /* 35 ST_PORT_CLOSE_FAILED: 关闭串口失败！ */ "\xB9\xD8\xB1\xD5\xB4\xAE\xBF\xDA\xCA\xA7\xB0\xDC\xA3\xA1",
    /* 36 ST_GET_STATE_FAILED: 读取串口状态失败！ */ "\xB6\xC1\xC8\xA1\xB4\xAE\xBF\xDA\xD7\xB4\xCC\xAC\xCA\xA7\xB0\xDC\xA3\xA1",
    /* 37 ST_SET_STATE_FAILED: 设置串口状态失败！ */ "\xC9\xE8\xD6\xC3\xB4\xAE\xBF\xDA\xD7\xB4\xCC\xAC\xCA\xA7\xB0\xDC\xA3\xA1",
    /* 38 ST_THREAD_FAILED: 创建线程失败！ */ "\xB4\xB4\xBD\xA8\xCF\xDF\xB3\xCC\xCA\xA7\xB0\xDC\xA3\xA1",
    /* 39 ST_EVENT_FAILED: 创建事件失败！ */ "\xB4\xB4\xBD\xA8\xCA\xC2\xBC\xFE\xCA\xA7\xB0\xDC\xA3\xA1",
    /* 40 ST_SEND_FAILED: 串口发送错误！ */ "\xB4\xAE\xBF\xDA\xB7\xA2\xCB\xCD\xB4\xED\xCE\xF3\xA3\xA1",
    /* 41 ST_RECEIVE_FAILED: 串口接收错误！ */ "\xB4\xAE\xBF\xDA\xBD\xD3\xCA\xD5\xB4\xED\xCE\xF3\xA3\xA1",
    /* 42 ST_ALLOC_FAILED: 分配内存失败！ */ "\xB7\xD6\xC5\xE4\xC4\xDA\xB4\xE6\xCA\xA7\xB0\xDC\xA3\xA1",
    /* 43 ST_FREE_FAILED: 释放内存失败！ */ "\xCA\xCD\xB7\xC5\xC4\xDA\xB4\xE6\xCA\xA7\xB0\xDC\xA3\xA1",
    /* 44 ST_ALREADY_OPEN: 重复初始化串口错误！ */ "\xD6\xD8\xB8\xB4\xB3\xF5\xCA\xBC\xBB\xAF\xB4\xAE\xBF\xDA\xB4\xED\xCE\xF3\xA3\xA1",
    /* 45 ST_NOT_OPEN: 串口未初始化！ */ "\xB4\xAE\xBF\xDA\xCE\xB4\xB3\xF5\xCA\xBC\xBB\xAF\xA3\xA1",
    /* 46 ST_NO_DEVICE: 读写设备未连接！ */ "\xB6\xC1\xD0\xB4\xC9\xE8\xB1\xB8\xCE\xB4\xC1\xAC\xBD\xD3\xA3\xA1",
    /* 47 ST_COMM_ERROR: 串口通讯发生错误！ */ "\xB4\xAE\xBF\xDA\xCD\xA8\xD1\xB6\xB7\xA2\xC9\xFA\xB4\xED\xCE\xF3\xA3\xA1",
    /* 48 ST_NO_CARD: 读写器内未插卡！ */ "\xB6\xC1\xD0\xB4\xC6\xF7\xC4\xDA\xCE\xB4\xB2\xE5\xBF\xA8\xA3\xA1",
    /* 49 ST_UNKNOWN_CARD: 该卡无法自动识别！ */ "\xB8\xC3\xBF\xA8\xCE\xDE\xB7\xA8\xD7\xD4\xB6\xAF\xCA\xB6\xB1\xF0\xA3\xA1",
    /* 50 ST_WRONG_CARD_TYPE: 卡类型错误！ */ "\xBF\xA8\xC0\xE0\xD0\xCD\xB4\xED\xCE\xF3\xA3\xA1",
    /* 51 ST_ADDRESS_OVERFLOW: 地址溢出！ */ "\xB5\xD8\xD6\xB7\xD2\xE7\xB3\xF6\xA3\xA1",
    /* 52 ST_LENGTH_OVERFLOW: 长度溢出！ */ "\xB3\xA4\xB6\xC8\xD2\xE7\xB3\xF6\xA3\xA1",
    /* 53 ST_BAD_ZONE: 区号或页号错误！ */ "\xC7\xF8\xBA\xC5\xBB\xF2\xD2\xB3\xBA\xC5\xB4\xED\xCE\xF3\xA3\xA1",
    /* 54 ST_ACCESS_OVERFLOW: 访问地址溢出！ */ "\xB7\xC3\xCE\xCA\xB5\xD8\xD6\xB7\xD2\xE7\xB3\xF6\xA3\xA1",
    /* 55 ST_BAD_INDEX: 索引号有误！ */ "\xCB\xF7\xD2\xFD\xBA\xC5\xD3\xD0\xCE\xF3\xA3\xA1",
    /* 56 ST_WRONG_PASSWORD: 密码错误！ */ "\xC3\xDC\xC2\xEB\xB4\xED\xCE\xF3\xA3\xA1",
    /* 57 ST_AUTH_FAILED: 认证失败！ */ "\xC8\xCF\xD6\xA4\xCA\xA7\xB0\xDC\xA3\xA1",
    /* 58 ST_CARD_NOT_POWERED: 卡片还没有被上电！ */ "\xBF\xA8\xC6\xAC\xBB\xB9\xC3\xBB\xD3\xD0\xB1\xBB\xC9\xCF\xB5\xE7\xA3\xA1",
    /* 59 ST_NO_ATR: 没有复位应答！ */ "\xC3\xBB\xD3\xD0\xB8\xB4\xCE\xBB\xD3\xA6\xB4\xF0\xA3\xA1",
    /* 60 ST_BAD_ATR: 复位应答有误！ */ "\xB8\xB4\xCE\xBB\xD3\xA6\xB4\xF0\xD3\xD0\xCE\xF3\xA3\xA1",
    /* 61 ST_PROTOCOL_UNSUPPORTED: 不支持该卡使用的通讯协议！ */ "\xB2\xBB\xD6\xA7\xB3\xD6\xB8\xC3\xBF\xA8\xCA\xB9\xD3\xC3\xB5\xC4\xCD\xA8\xD1\xB6\xD0\xAD\xD2\xE9\xA3\xA1",
    /* 62 ST_APDU_LENGTH: APDU长度错误！ */ "\x41\x50\x44\x55\xB3\xA4\xB6\xC8\xB4\xED\xCE\xF3\xA3\xA1",
    /* 63 ST_APDU_FORMAT: APDU格式错误！ */ "\x41\x50\x44\x55\xB8\xF1\xCA\xBD\xB4\xED\xCE\xF3\xA3\xA1",
    /* 64 ST_NO_RESPONSE: 没有收到应答！ */ "\xC3\xBB\xD3\xD0\xCA\xD5\xB5\xBD\xD3\xA6\xB4\xF0\xA3\xA1",
    /* 65 ST_EDC_ERROR: 错误校验码错误！ */ "\xB4\xED\xCE\xF3\xD0\xA3\xD1\xE9\xC2\xEB\xB4\xED\xCE\xF3\xA3\xA1",
    /* 66 ST_ATR_INCOMPLETE: 复位应答不完整！ */ "\xB8\xB4\xCE\xBB\xD3\xA6\xB4\xF0\xB2\xBB\xCD\xEA\xD5\xFB\xA3\xA1",
    /* 67 ST_PPS_FAILED: 选择通讯协议失败！ */ "\xD1\xA1\xD4\xF1\xCD\xA8\xD1\xB6\xD0\xAD\xD2\xE9\xCA\xA7\xB0\xDC\xA3\xA1",
    /* 68 ST_BAUD_UNSUPPORTED: 不支持该通讯速率！ */ "\xB2\xBB\xD6\xA7\xB3\xD6\xB8\xC3\xCD\xA8\xD1\xB6\xCB\xD9\xC2\xCA\xA3\xA1",
    /* 69 ST_BAD_RESPONSE: 命令被中断或应答错误！ */ "\xC3\xFC\xC1\xEE\xB1\xBB\xD6\xD0\xB6\xCF\xBB\xF2\xD3\xA6\xB4\xF0\xB4\xED\xCE\xF3\xA3\xA1",
};

namespace text = kdx::status_text;

// Indexed by the code, like kMessages; the conditions Velmor knows too come
// from the shared descriptions.
constexpr text::Description kDescriptions[kMessageCount] = {
    /*  0 */ text::kOk,
    /*  1 */ {"ST_NO_CARD_OR_AUTH", "no card placed, or authentication error"},
    /*  2 */ {"ST_DATA_CHECK", "data check error"},
    /*  3 */ {"ST_VALUE_OVERFLOW", "value operation overflow"},
    /*  4 */ {"ST_CARD_AUTH_FAILED", "authentication failed"},
    /*  5 */ {"ST_PARITY", "parity error"},
    /*  6 */ {"ST_CARD_COMM", "device-to-card communication error"},
    /*  7 */ text::kUndefined,
    /*  8 */ {"ST_CARD_NUMBER", "card number read error"},
    /*  9 */ text::kUndefined,
    /* 10 */ {"ST_NOT_AUTHENTICATED", "card not yet authenticated"},
    /* 11 */ {"ST_BIT_COUNT", "wrong bit count in a card read"},
    /* 12 */ {"ST_BYTE_COUNT", "wrong byte count in a card read"},
    /* 13 */ {"ST_IDLE", "idle state"},
    /* 14 */ {"ST_RESTORE_FAILED", "value write-back failed"},
    /* 15 */ {"ST_WRITE_FAILED", "card write failed"},
    /* 16 */ {"ST_INCREMENT_FAILED", "increment failed"},
    /* 17 */ {"ST_DECREMENT_FAILED", "decrement failed"},
    /* 18 */ {"ST_READ_FAILED", "card read failed"},
    /* 19 */ text::kUndefined,
    /* 20 */ {"ST_INTERRUPTED", "the previous operation was interrupted"},
    /* 21 */ {"ST_NOT_VALUE_BLOCK", "the address is not a value block"},
    /* 22 */ text::kUndefined, text::kUndefined, text::kUndefined, text::kUndefined, text::kUndefined,
    /* 27 */ text::kUndefined, text::kUndefined, text::kUndefined, text::kUndefined, text::kUndefined,
    /* 32 */ {"ST_NOT_SUPPORTED", "the reader does not support the operation"},
    /* 33 */ text::kBadParameter, text::kPortInitFailed, text::kPortCloseFailed, text::kGetStateFailed,
    /* 37 */ text::kSetStateFailed, text::kThreadFailed, text::kEventFailed, text::kSendFailed,
    /* 41 */ text::kReceiveFailed, text::kAllocFailed, text::kFreeFailed, text::kAlreadyOpen,
    /* 45 */ text::kNotOpen, text::kNoDevice, text::kCommError, text::kNoCard,
    /* 49 */ text::kUnknownCard, text::kWrongCardType, text::kAddressOverflow, text::kLengthOverflow,
    /* 53 */ text::kBadZone, text::kAccessOverflow, text::kBadIndex, text::kWrongPassword,
    /* 57 */ text::kAuthFailed,
    /* 58 */ {"ST_CARD_NOT_POWERED", "the card is not activated"},
    /* 59 */ text::kNoAtr, text::kBadAtr, text::kProtocolUnsupported, text::kApduLength, text::kApduFormat,
    /* 64 */ {"ST_NO_RESPONSE", "no response received"},
    /* 65 */ {"ST_EDC_ERROR", "wrong error detection code"},
    /* 66 */ {"ST_ATR_INCOMPLETE", "the answer to reset is incomplete"},
    /* 67 */ {"ST_PPS_FAILED", "protocol and parameter selection failed"},
    /* 68 */ {"ST_BAUD_UNSUPPORTED", "the card's rate is not supported"},
    /* 69 */ {"ST_BAD_RESPONSE", "exchange aborted, or a wrong response"},
};

}  // namespace
}  // namespace kdx::tarsk

extern "C" KDX_API StatusCode KDX_CALL KDX_ErrorMsg(uint32_t code, uint8_t* destination) {
  const uint32_t index = code & 0xFFFF;
  if (index >= kdx::tarsk::kMessageCount || destination == nullptr) return ST_BAD_PARAMETER;
  std::memcpy(destination, kdx::tarsk::kMessages[index], kdx::tarsk::kSlotSize);
  return ST_OK;
}

extern "C" KDX_API StatusCode KDX_CALL KDX_DescribeStatus(uint32_t code, const char** name, const char** text) {
  return kdx::status_text::describe(kdx::tarsk::kDescriptions, code, name, text) ? ST_OK : ST_BAD_PARAMETER;
}
