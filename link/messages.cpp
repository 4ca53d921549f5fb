// Velmor's status messages: one 32-byte slot per status code 0 to 30, the
// text in GBK (code page 936) followed by zero bytes.
#include <cstring>

#include "platform/status_descriptions.h"
#include "velmor.h"

namespace kdx::velmor {
namespace {

constexpr std::size_t kSlotSize = 32;
constexpr std::size_t kMessageCount = 31;

// String literals fill the rest of each slot with zero bytes.
constexpr char kMessages[kMessageCount][kSlotSize] = {
    /*  0 ST_OK: 操作成功！ */ "\xB2\xD9\xD7\xF7\xB3\xC9\xB9\xA6\xA3\xA1",
    /*  1 ST_BAD_PARAMETER: 函数调用参数错误！ */ "\xBA\xAF\xCA\xFD\xB5\xF7\xD3\xC3\xB2\xCE\xCA\xFD\xB4\xED\xCE\xF3\xA3\xA1",
    /*  2 ST_PORT_INIT_FAILED: 初始化串口失败！ */ "\xB3\xF5\xCA\xBC\xBB\xAF\xB4\xAE\xBF\xDA\xCA\xA7\xB0\xDC\xA3\xA1",
    /*  3 ST_PORT_CLOSE_FAILED: 关闭串口失败！ */ "\xB9\xD8\xB1\xD5\xB4\xAE\xBF\xDA\xCA\xA7\xB0\xDC\xA3\xA1",
    /*  4 ST_GET_STATE_FAILED: 读取串口状态失败！ */ "\xB6\xC1\xC8\xA1\xB4\xAE\xBF\xDA\xD7\xB4\xCC\xAC\xCA\xA7\xB0\xDC\xA3\xA1",
    /*  5 ST_SET_STATE_FAILED: 设置串口状态失败！ */ "\xC9\xE8\xD6\xC3\xB4\xAE\xBF\xDA\xD7\xB4\xCC\xAC\xCA\xA7\xB0\xDC\xA3\xA1",
    /*  6 ST_THREAD_FAILED: 创建线程失败！ */ "\xB4\xB4\xBD\xA8\xCF\xDF\xB3\xCC\xCA\xA7\xB0\xDC\xA3\xA1",
    /*  7 ST_EVENT_FAILED: 创建事件失败！ */ "\xB4\xB4\xBD\xA8\xCA\xC2\xBC\xFE\xCA\xA7\xB0\xDC\xA3\xA1",
    /*  8 ST_SEND_FAILED: 串口发送错误！ */ "\xB4\xAE\xBF\xDA\xB7\xA2\xCB\xCD\xB4\xED\xCE\xF3\xA3\xA1",
    /*  9 ST_RECEIVE_FAILED: 串口接收错误！ */ "\xB4\xAE\xBF\xDA\xBD\xD3\xCA\xD5\xB4\xED\xCE\xF3\xA3\xA1",
    /* 10 ST_ALLOC_FAILED: 分配内存失败！ */ "\xB7\xD6\xC5\xE4\xC4\xDA\xB4\xE6\xCA\xA7\xB0\xDC\xA3\xA1",
    /* 11 ST_FREE_FAILED: 释放内存失败！ */ "\xCA\xCD\xB7\xC5\xC4\xDA\xB4\xE6\xCA\xA7\xB0\xDC\xA3\xA1",
    /* 12 ST_ALREADY_OPEN: 重复初始化串口错误！ */ "\xD6\xD8\xB8\xB4\xB3\xF5\xCA\xBC\xBB\xAF\xB4\xAE\xBF\xDA\xB4\xED\xCE\xF3\xA3\xA1",
    /* 13 ST_NOT_OPEN: 串口未初始化！ */ "\xB4\xAE\xBF\xDA\xCE\xB4\xB3\xF5\xCA\xBC\xBB\xAF\xA3\xA1",
    /* 14 ST_NO_DEVICE: 读写设备未连接！ */ "\xB6\xC1\xD0\xB4\xC9\xE8\xB1\xB8\xCE\xB4\xC1\xAC\xBD\xD3\xA3\xA1",
    /* 15 ST_COMM_ERROR: 串口通讯发生错误！ */ "\xB4\xAE\xBF\xDA\xCD\xA8\xD1\xB6\xB7\xA2\xC9\xFA\xB4\xED\xCE\xF3\xA3\xA1",
    /* 16 ST_NO_CARD: 读写器内未插卡！ */ "\xB6\xC1\xD0\xB4\xC6\xF7\xC4\xDA\xCE\xB4\xB2\xE5\xBF\xA8\xA3\xA1",
    /* 17 ST_UNKNOWN_CARD: 该卡无法自动识别！ */ "\xB8\xC3\xBF\xA8\xCE\xDE\xB7\xA8\xD7\xD4\xB6\xAF\xCA\xB6\xB1\xF0\xA3\xA1",
    /* 18 ST_WRONG_CARD_TYPE: 卡类型错误！ */ "\xBF\xA8\xC0\xE0\xD0\xCD\xB4\xED\xCE\xF3\xA3\xA1",
    /* 19 ST_ADDRESS_OVERFLOW: 地址溢出！ */ "\xB5\xD8\xD6\xB7\xD2\xE7\xB3\xF6\xA3\xA1",
    /* 20 ST_LENGTH_OVERFLOW: 长度溢出 */ "\xB3\xA4\xB6\xC8\xD2\xE7\xB3\xF6",
    /* 21 ST_BAD_ZONE: 区号或页号错误！ */ "\xC7\xF8\xBA\xC5\xBB\xF2\xD2\xB3\xBA\xC5\xB4\xED\xCE\xF3\xA3\xA1",
    /* 22 ST_ACCESS_OVERFLOW: 访问地址溢出！ */ "\xB7\xC3\xCE\xCA\xB5\xD8\xD6\xB7\xD2\xE7\xB3\xF6\xA3\xA1",
    /* 23 ST_BAD_INDEX: 索引号有误！ */ "\xCB\xF7\xD2\xFD\xBA\xC5\xD3\xD0\xCE\xF3\xA3\xA1",
    /* 24 ST_WRONG_PASSWORD: 密码错误！ */ "\xC3\xDC\xC2\xEB\xB4\xED\xCE\xF3\xA3\xA1",
    /* 25 ST_AUTH_FAILED: 认证失败！ */ "\xC8\xCF\xD6\xA4\xCA\xA7\xB0\xDC\xA3\xA1",
    /* 26 ST_NO_ATR: 没有复位应答！ */ "\xC3\xBB\xD3\xD0\xB8\xB4\xCE\xBB\xD3\xA6\xB4\xF0\xA3\xA1",
    /* 27 ST_BAD_ATR: 复位应答有误！ */ "\xB8\xB4\xCE\xBB\xD3\xA6\xB4\xF0\xD3\xD0\xCE\xF3\xA3\xA1",
    /* 28 ST_PROTOCOL_UNSUPPORTED: 不支持该卡使用的通讯协议！ */ "\xB2\xBB\xD6\xA7\xB3\xD6\xB8\xC3\xBF\xA8\xCA\xB9\xD3\xC3\xB5\xC4\xCD\xA8\xD1\xB6\xD0\xAD\xD2\xE9\xA3\xA1",
    /* 29 ST_APDU_LENGTH: APDU长度错误！ */ "\x41\x50\x44\x55\xB3\xA4\xB6\xC8\xB4\xED\xCE\xF3\xA3\xA1",
    /* 30 ST_APDU_FORMAT: APDU格式错误！ */ "\x41\x50\x44\x55\xB8\xF1\xCA\xBD\xB4\xED\xCE\xF3\xA3\xA1",
};

// Copies the slot of `code`; a code without a message gives 32 zero bytes.
void copy_message(uint16_t code, uint8_t* destination) {
  if (code < kMessageCount) {
    std::memcpy(destination, kMessages[code], kSlotSize);
  } else {
    std::memset(destination, 0, kSlotSize);
  }
}

namespace text = kdx::status_text;

// Indexed by the code, like kMessages.
constexpr text::Description kDescriptions[kMessageCount] = {
    text::kOk,           text::kBadParameter,   text::kPortInitFailed,   text::kPortCloseFailed,
    text::kGetStateFailed, text::kSetStateFailed, text::kThreadFailed,   text::kEventFailed,
    text::kSendFailed,   text::kReceiveFailed,  text::kAllocFailed,      text::kFreeFailed,
    text::kAlreadyOpen,  text::kNotOpen,        text::kNoDevice,         text::kCommError,
    text::kNoCard,       text::kUnknownCard,    text::kWrongCardType,    text::kAddressOverflow,
    text::kLengthOverflow, text::kBadZone,      text::kAccessOverflow,   text::kBadIndex,
    text::kWrongPassword, text::kAuthFailed,    text::kNoAtr,            text::kBadAtr,
    text::kProtocolUnsupported, text::kApduLength, text::kApduFormat,
};

}  // namespace
}  // namespace kdx::velmor

extern "C" KDX_API StatusCode KDX_CALL KDX_ErrorMsg(uint32_t code, uint8_t* destination) {
  if (destination == nullptr) return ST_BAD_PARAMETER;
  kdx::velmor::copy_message(static_cast<uint16_t>(code & 0xFFFF), destination);
  return ST_OK;
}

extern "C" KDX_API StatusCode KDX_CALL KDX_DescribeStatus(uint32_t code, const char** name, const char** text) {
  return kdx::status_text::describe(kdx::velmor::kDescriptions, code, name, text) ? ST_OK : ST_BAD_PARAMETER;
}
