// qtk's reader: the packets of an installer in archive order, read across
// its volumes and decoded ahead on worker threads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "codec.h"

namespace qtk {

// What reading and decoding one packet gave, and where it stood.
struct PacketRecord {
  int status = 0;            // as packet_read gives it
  int reports = 0;           // the codec's reports while it decoded (a packet's
                             // faults: the stub shows its message for each)
  int last_report = 0;       // the last of them
  long offset = 0, end = 0;  // where the packet starts and ends in its volume
  // After an archive end: the bytes that follow it (the signature).
  std::uint8_t tail[4] = {};
  std::size_t tail_len = 0;
  // After a volume end: the next volume, opened by the reader, or why it
  // could not be (then nothing more is read).
  std::string next_name, open_error;
  std::uint64_t next_size = 0;
};

// Statuses after which the packet boundaries are intact and a walk may go
// on with the next packet: damaged check bytes, payload or lengths.
bool packet_status_recoverable(int status);

// The packets from volume 1's first packet on, in archive order, with every
// volume end followed. Reading stops after a packet whose status is not
// recoverable and after a volume that cannot be opened.
//
// With one job, each packet is read and decoded when asked for, on the
// calling thread. With more, a reader thread reads the packets (check bytes
// verified, volumes followed) into a window of slots, `jobs` threads decode
// them, each from a fresh state, and next() hands them out in order: the
// records are the same as with one job.
class PacketSource {
 public:
  // `first` stands at volume 1's first packet; the source owns it and every
  // later volume.
  PacketSource(std::FILE* first, const std::string& name, unsigned jobs);
  ~PacketSource();
  PacketSource(const PacketSource&) = delete;
  PacketSource& operator=(const PacketSource&) = delete;

  // The next packet: it is swapped into `into` (both records of the packet
  // size), its record returned (valid until the next call).
  const PacketRecord& next(Packet* into);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qtk
