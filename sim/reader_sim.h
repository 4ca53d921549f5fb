// The firmware of the Velmor reader, simulated: the framed link protocol in
// both directions, the reader's own commands (I/O lines, version), a card
// slot behind the door switch into which card models are plugged, a trace of
// every byte and frame, and faults to inject.
//
// It is independent of the transport: bytes from the host go in through
// on_host_byte(), bytes to the host leave through the sink. attach_to() wires
// it to a VirtualPort (virtual clock); the standalone server wires it to a
// pseudo-terminal.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/virtual_port.h"

namespace kdx::sim {

// What a card model answers to one reader command.
struct CardReply {
  uint8_t status = 0;          // the response frame's status byte
  std::vector<uint8_t> data;   // the response frame's data
};

// A card in the reader's slot. The reader hands it every command that is
// not its own (17 PutIO and 18 GetIO of lines it does not own, and every
// code other than 17, 18 and 79).
class ReaderCard {
 public:
  virtual ~ReaderCard() = default;
  // A command frame's code and data, at `now_ns`. For a reading command
  // (ReaderSim::is_reading_command) the reply becomes the response frame;
  // for any other the reply is ignored. The default answers a read of n
  // bytes (n in the two data bytes) with n bytes 0xFF, as an idle bus reads.
  virtual CardReply command(uint8_t code, std::span<const uint8_t> data, uint64_t now_ns);
  virtual void put_line(uint8_t /*line*/, uint8_t /*value*/, uint64_t /*now_ns*/) {}
  virtual uint8_t get_line(uint8_t /*line*/, uint64_t /*now_ns*/) { return 0; }
  // Short name for traces and the tool ("SLE4442", ...).
  virtual std::string name() const { return "card"; }
};

enum class Direction : uint8_t { host_to_reader, reader_to_host };

struct TraceByte {
  uint64_t time_ns;
  Direction direction;
  uint8_t byte;
};

// A frame as it was on the line, undoubled: code or status, length, data,
// BCC. `accepted` is false for a frame the reader refused (bad BCC, NAK
// injected) or that the host never took.
struct TraceFrame {
  uint64_t time_ns;
  Direction direction;
  std::vector<uint8_t> bytes;
  bool accepted;
};

class ReaderSim {
 public:
  using Sink = std::function<void(uint8_t)>;
  using Clock = std::function<uint64_t()>;

  explicit ReaderSim(std::string version = "KDX-R2 SIM V1.00");
  ~ReaderSim();

  // Wires the reader to a virtual serial line: host bytes in, reader bytes
  // out through port.send(), time from the port's clock.
  void attach_to(VirtualPort& port);
  void set_transport(Sink sink, Clock clock);

  // The reader's side of the link.
  void on_host_byte(uint8_t byte);

  // Reader commands that are answered with a response frame.
  static bool is_reading_command(uint8_t code);

  // Card slot (door switch line 178 reads 0 while a card is in).
  void insert(std::unique_ptr<ReaderCard> card);
  std::unique_ptr<ReaderCard> remove();
  ReaderCard* card() const { return card_.get(); }

  void set_version(std::string version);
  bool led_on() const { return line_151_ != 0; }
  bool buzzer_on() const { return line_151_ == 0; }
  unsigned ejections() const { return ejections_; }

  // Faults, each for the next `count` occasions.
  void set_silent(bool silent);                     // answers nothing at all
  void nak_frames(unsigned count);                  // refuses frames with NAK, unexecuted
  void nak_stx(unsigned count);                     // answers STX with NAK
  void corrupt_response_bcc(unsigned count);
  void drop_response_byte(unsigned count, std::size_t index);  // index into the doubled frame bytes
  // Puts `byte` into the response on the line before the doubled frame byte
  // at `index`.
  void insert_response_byte(unsigned count, std::size_t index, uint8_t byte);
  // Executes the frame but acknowledges it with `byte` instead of DLE.
  void corrupt_ack(unsigned count, uint8_t byte);
  void override_status(unsigned count, uint8_t status);
  // The next response goes out as these exact bytes after the host's ready
  // DLE (for frames no firmware would send: lengths that lie, no ETX ...).
  void inject_raw_response(std::vector<uint8_t> bytes);
  // Stops answering after `bytes` more bytes have gone to the host.
  void go_silent_after(std::size_t bytes);
  // Runs `action` once `count` more command frames were accepted and
  // executed, to arm a fault for the frame after them.
  void after_commands(std::size_t count, std::function<void()> action);

  const std::vector<TraceByte>& trace() const { return trace_; }
  const std::vector<TraceFrame>& frames() const { return frames_; }
  // Accepted command frames' bytes only, in order.
  std::vector<std::vector<uint8_t>> commands() const;
  void clear_trace();
  // One line per frame: "> 4F 00 00 4F" (host to reader), "< 00 03 00 ..".
  std::string format_frames() const;

 private:
  enum class State : uint8_t { idle, frame, await_ready, await_ack };

  void emit(uint8_t byte);
  void start_frame();
  void receive_frame_byte(uint8_t byte);
  void finish_frame();
  void execute(uint8_t code, std::span<const uint8_t> data);
  void respond(uint8_t status, const std::vector<uint8_t>& data);
  void send_response_frame();
  void record_frame(Direction direction, std::vector<uint8_t> bytes, bool accepted);
  uint64_t now() const { return clock_ ? clock_() : 0; }

  std::string version_;
  std::unique_ptr<LinePeer> line_;  // the adapter attach_to() plugs into a port
  Sink sink_;
  Clock clock_;
  State state_ = State::idle;
  std::vector<uint8_t> incoming_;
  bool escape_ = false;
  std::vector<uint8_t> pending_response_;  // undoubled frame bytes awaiting the host's ready DLE
  std::optional<std::vector<uint8_t>> raw_response_;
  std::unique_ptr<ReaderCard> card_;
  uint8_t line_151_ = 1;
  uint8_t line_183_ = 0;
  unsigned ejections_ = 0;

  bool silent_ = false;
  unsigned nak_frames_ = 0;
  unsigned nak_stx_ = 0;
  unsigned corrupt_bcc_ = 0;
  unsigned drop_byte_ = 0;
  std::size_t drop_index_ = 0;
  unsigned insert_byte_ = 0;
  std::size_t insert_index_ = 0;
  uint8_t inserted_ = 0;
  unsigned corrupt_ack_ = 0;
  uint8_t ack_byte_ = 0;
  unsigned override_status_count_ = 0;
  uint8_t override_status_ = 0;
  std::optional<std::size_t> silent_after_;
  std::size_t commands_until_action_ = 0;
  std::function<void()> command_action_;

  std::vector<TraceByte> trace_;
  std::vector<TraceFrame> frames_;
};

}  // namespace kdx::sim
