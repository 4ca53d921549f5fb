#include "sim/reader_sim.h"

#include <cstdio>

#include "link/reader_codes.h"

namespace kdx::sim {
namespace {

namespace reader = kdx::velmor::reader;

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kDle = 0x10;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kStatusNoCard = 16;
// Longest frame the firmware takes in; longer input is noise.
constexpr std::size_t kMaxIncomingFrame = 1024;

// Command codes answered with a response frame, whoever serves them.
constexpr uint8_t kReadingCommands[] = {
    reader::kGetIO, 23, 25, 26, 30, 39, 46, 47, 55, reader::kGetIsoBuffer, reader::kCpuTransmit, reader::kGetVersion,
};

uint8_t block_check(std::span<const uint8_t> bytes) {
  uint8_t bcc = 0;
  for (uint8_t b : bytes) bcc = static_cast<uint8_t>(bcc ^ b);
  return bcc;
}

class ReaderLine final : public LinePeer {
 public:
  explicit ReaderLine(ReaderSim& reader) : reader_(reader) {}
  void on_host_byte(uint8_t byte, const LineSettings&, uint64_t) override { reader_.on_host_byte(byte); }

 private:
  ReaderSim& reader_;
};

}  // namespace

CardReply ReaderCard::command(uint8_t code, std::span<const uint8_t> data, uint64_t) {
  CardReply reply;
  if (ReaderSim::is_reading_command(code) && data.size() >= 2) {
    reply.data.assign(static_cast<std::size_t>(data[0] | (data[1] << 8)), 0xFF);
  }
  return reply;
}

ReaderSim::ReaderSim(std::string version) : version_(std::move(version)) {}

ReaderSim::~ReaderSim() = default;

bool ReaderSim::is_reading_command(uint8_t code) {
  for (uint8_t reading : kReadingCommands) {
    if (reading == code) return true;
  }
  return false;
}

void ReaderSim::attach_to(VirtualPort& port) {
  line_ = std::make_unique<ReaderLine>(*this);
  port.attach(line_.get());
  VirtualClock& clock = port.clock();
  set_transport([&port](uint8_t byte) { port.send(byte); }, [&clock] { return clock.now_ns(); });
}

void ReaderSim::set_transport(Sink sink, Clock clock) {
  sink_ = std::move(sink);
  clock_ = std::move(clock);
}

void ReaderSim::insert(std::unique_ptr<ReaderCard> card) { card_ = std::move(card); }

std::unique_ptr<ReaderCard> ReaderSim::remove() { return std::move(card_); }

void ReaderSim::set_version(std::string version) { version_ = std::move(version); }

void ReaderSim::set_silent(bool silent) { silent_ = silent; }
void ReaderSim::nak_frames(unsigned count) { nak_frames_ = count; }
void ReaderSim::nak_stx(unsigned count) { nak_stx_ = count; }
void ReaderSim::corrupt_response_bcc(unsigned count) { corrupt_bcc_ = count; }
void ReaderSim::drop_response_byte(unsigned count, std::size_t index) {
  drop_byte_ = count;
  drop_index_ = index;
}
void ReaderSim::insert_response_byte(unsigned count, std::size_t index, uint8_t byte) {
  insert_byte_ = count;
  insert_index_ = index;
  inserted_ = byte;
}
void ReaderSim::corrupt_ack(unsigned count, uint8_t byte) {
  corrupt_ack_ = count;
  ack_byte_ = byte;
}
void ReaderSim::override_status(unsigned count, uint8_t status) {
  override_status_count_ = count;
  override_status_ = status;
}
void ReaderSim::inject_raw_response(std::vector<uint8_t> bytes) { raw_response_ = std::move(bytes); }
void ReaderSim::go_silent_after(std::size_t bytes) { silent_after_ = bytes; }
void ReaderSim::after_commands(std::size_t count, std::function<void()> action) {
  if (count == 0) {
    action();
    return;
  }
  commands_until_action_ = count;
  command_action_ = std::move(action);
}

void ReaderSim::emit(uint8_t byte) {
  if (silent_) return;
  if (silent_after_) {
    if (*silent_after_ == 0) return;
    --*silent_after_;
  }
  trace_.push_back({now(), Direction::reader_to_host, byte});
  if (sink_) sink_(byte);
}

void ReaderSim::on_host_byte(uint8_t byte) {
  trace_.push_back({now(), Direction::host_to_reader, byte});
  if (silent_) return;
  switch (state_) {
    case State::idle:
      if (byte == kStx) start_frame();  // anything else is noise between exchanges
      return;
    case State::frame:
      receive_frame_byte(byte);
      return;
    case State::await_ready:
      if (byte == kDle) {
        send_response_frame();
      } else if (byte == kStx) {
        // The host gave up on the response and starts a new command.
        record_frame(Direction::reader_to_host, pending_response_, false);
        start_frame();
      }
      return;
    case State::await_ack:
      if (byte == kDle) {
        state_ = State::idle;
      } else if (byte == kStx) {
        start_frame();
      }
      return;
  }
}

void ReaderSim::start_frame() {
  if (nak_stx_ != 0) {
    --nak_stx_;
    state_ = State::idle;
    emit(kNak);
    return;
  }
  incoming_.clear();
  escape_ = false;
  state_ = State::frame;
  emit(kDle);
}

void ReaderSim::receive_frame_byte(uint8_t byte) {
  if (escape_) {
    escape_ = false;
    if (byte == kDle) {
      incoming_.push_back(kDle);
    } else if (byte == kEtx) {
      finish_frame();
      return;
    } else {
      record_frame(Direction::host_to_reader, incoming_, false);
      state_ = State::idle;
      emit(kNak);
      return;
    }
  } else if (byte == kDle) {
    escape_ = true;
  } else if (byte == kStx && incoming_.empty()) {
    emit(kDle);  // the host repeated its STX: it missed the ready answer
  } else {
    incoming_.push_back(byte);
  }
  if (incoming_.size() > kMaxIncomingFrame) {
    state_ = State::idle;
    incoming_.clear();
  }
}

void ReaderSim::finish_frame() {
  state_ = State::idle;
  const std::vector<uint8_t> frame = incoming_;
  bool well_formed = frame.size() >= 4;
  std::size_t n = 0;
  if (well_formed) {
    n = static_cast<std::size_t>(frame[1] | (frame[2] << 8));
    well_formed = frame.size() == n + 4 &&
                  block_check(std::span<const uint8_t>(frame).first(n + 3)) == frame[n + 3];
  }
  if (!well_formed || nak_frames_ != 0) {
    if (well_formed) --nak_frames_;
    record_frame(Direction::host_to_reader, frame, false);
    emit(kNak);
    return;
  }
  record_frame(Direction::host_to_reader, frame, true);
  if (corrupt_ack_ != 0) {
    --corrupt_ack_;
    emit(ack_byte_);
  } else {
    emit(kDle);
  }
  execute(frame[0], std::span<const uint8_t>(frame).subspan(3, n));
  if (command_action_ && --commands_until_action_ == 0) {
    const std::function<void()> action = std::move(command_action_);
    command_action_ = nullptr;
    action();
  }
}

void ReaderSim::execute(uint8_t code, std::span<const uint8_t> data) {
  const uint64_t t = now();
  if (code == reader::kPutIO) {
    if (data.size() < 2) return;
    const uint8_t line = data[0];
    const uint8_t value = data[1];
    if (line == reader::kLineLedBuzzer) {
      line_151_ = value;
    } else if (line == reader::kLineCardEject) {
      if (value != 0 && line_183_ == 0 && card_) {
        ++ejections_;
        card_.reset();
      }
      line_183_ = value;
    } else if (card_) {
      card_->put_line(line, value, t);
    }
    return;
  }
  if (code == reader::kGetIO) {
    if (data.empty()) {
      respond(1, {});
      return;
    }
    const uint8_t line = data[0];
    uint8_t value = 0;
    if (line == reader::kLineDoorSwitch) {
      value = card_ ? 0 : 1;
    } else if (line == reader::kLineLedBuzzer) {
      value = line_151_;
    } else if (line == reader::kLineCardEject) {
      value = line_183_;
    } else if (card_) {
      value = card_->get_line(line, t);
    }
    respond(0, {value});
    return;
  }
  if (code == reader::kGetVersion) {
    respond(0, std::vector<uint8_t>(version_.begin(), version_.end()));
    return;
  }
  if (!card_) {
    if (is_reading_command(code)) respond(kStatusNoCard, {});
    return;
  }
  CardReply reply = card_->command(code, data, t);
  if (is_reading_command(code)) respond(reply.status, reply.data);
}

void ReaderSim::respond(uint8_t status, const std::vector<uint8_t>& data) {
  if (override_status_count_ != 0) {
    --override_status_count_;
    status = override_status_;
  }
  std::vector<uint8_t> frame;
  frame.reserve(data.size() + 4);
  frame.push_back(status);
  frame.push_back(static_cast<uint8_t>(data.size() & 0xFF));
  frame.push_back(static_cast<uint8_t>((data.size() >> 8) & 0xFF));
  frame.insert(frame.end(), data.begin(), data.end());
  uint8_t bcc = block_check(frame);
  if (corrupt_bcc_ != 0) {
    --corrupt_bcc_;
    bcc = static_cast<uint8_t>(bcc ^ 0xFF);
  }
  frame.push_back(bcc);
  pending_response_ = std::move(frame);
  state_ = State::await_ready;
  emit(kStx);
}

void ReaderSim::send_response_frame() {
  state_ = State::await_ack;
  if (raw_response_) {
    const std::vector<uint8_t> raw = std::move(*raw_response_);
    raw_response_.reset();
    record_frame(Direction::reader_to_host, raw, true);
    for (uint8_t b : raw) emit(b);
    return;
  }
  std::vector<uint8_t> line;
  for (uint8_t b : pending_response_) {
    line.push_back(b);
    if (b == kDle) line.push_back(kDle);
  }
  line.push_back(kDle);
  line.push_back(kEtx);
  if (drop_byte_ != 0 && drop_index_ < line.size()) {
    --drop_byte_;
    line.erase(line.begin() + static_cast<std::ptrdiff_t>(drop_index_));
  }
  if (insert_byte_ != 0 && insert_index_ <= line.size()) {
    --insert_byte_;
    line.insert(line.begin() + static_cast<std::ptrdiff_t>(insert_index_), inserted_);
  }
  record_frame(Direction::reader_to_host, pending_response_, true);
  for (uint8_t b : line) emit(b);
}

void ReaderSim::record_frame(Direction direction, std::vector<uint8_t> bytes, bool accepted) {
  frames_.push_back({now(), direction, std::move(bytes), accepted});
}

std::vector<std::vector<uint8_t>> ReaderSim::commands() const {
  std::vector<std::vector<uint8_t>> result;
  for (const TraceFrame& frame : frames_) {
    if (frame.direction == Direction::host_to_reader && frame.accepted) result.push_back(frame.bytes);
  }
  return result;
}

void ReaderSim::clear_trace() {
  trace_.clear();
  frames_.clear();
}

std::string ReaderSim::format_frames() const {
  std::string text;
  char hex[4];
  for (const TraceFrame& frame : frames_) {
    text += frame.direction == Direction::host_to_reader ? '>' : '<';
    for (uint8_t b : frame.bytes) {
      std::snprintf(hex, sizeof hex, " %02X", b);
      text += hex;
    }
    if (!frame.accepted) text += " (refused)";
    text += '\n';
  }
  return text;
}

}  // namespace kdx::sim
