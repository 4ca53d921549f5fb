// Serves a simulated reader on a pseudo-terminal, so that any program can
// talk to it through a real serial-port path (the library's POSIX port with
// KDX_SetPortDevice, or anything else that opens a tty). Time is real here:
// the reader answers each byte as it comes.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "sim/reader_sim.h"

namespace kdx::sim {

class PtyServer {
 public:
  // Creates the pseudo-terminal and wires `reader` to its master side.
  explicit PtyServer(ReaderSim& reader);
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // The path a client opens, e.g. /dev/pts/3; empty when creation failed.
  const std::string& device() const { return device_; }

  // Serves until stop() (run) or on a thread of its own (start).
  void run();
  void start();
  void stop();
  // Closes the pseudo-terminal under a client that may be mid-call.
  void hang_up();
  // Closes it once `bytes` more bytes have gone to the client.
  void hang_up_after(std::size_t bytes);
  // Paces the bytes in both directions at the rate the client set on the
  // line (8N1 character times), as a reader on a real wire would see and
  // send them. Call before start().
  void pace_at_line_rate(bool pace) { pace_ = pace; }

 private:
  ReaderSim& reader_;
  int master_ = -1;
  int slave_ = -1;  // held open so the master keeps working between clients
  std::string device_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> hang_up_armed_{false};
  std::atomic<std::size_t> bytes_until_hang_up_{0};
  std::thread thread_;
  bool pace_ = false;
  uint64_t to_client_free_ns_ = 0;  // when the wire to the client is free
  uint64_t from_client_free_ns_ = 0;
  bool run_starts_ = true;

  uint64_t character_ns() const;
  void wait_until(uint64_t ns) const;
};

}  // namespace kdx::sim
