// qtk pack, the compression pipeline: the members' data in chunks, each
// encoded into a packet on worker threads and handed to the writer in
// archive order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "codec.h"
#include "pack/scan.h"

namespace qtk {

// One data chunk of one member.
struct Chunk {
  std::size_t member;
  std::uint64_t offset;
  std::uint32_t len;
  bool last;
};

// The chunks of every member in archive order, each at most `chunk_size`
// bytes; *total receives the bytes of all members.
std::vector<Chunk> make_chunks(const std::vector<Member>& members, std::uint32_t chunk_size, std::uint64_t* total);

// Compresses chunks on worker threads and hands them out strictly in order
// through a window of slots, each with its own packet encoder. A file that
// changed since the scan fails the pack when its chunk is taken.
class Pipeline {
 public:
  Pipeline(const std::vector<Member>& members, const std::vector<Chunk>& chunks, unsigned jobs);
  ~Pipeline();
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  // Chunk i encoded: its packet (data, header fields) and payload; valid
  // until release(i).
  const PacketEncoder& get(std::size_t i);
  void release(std::size_t i);

 private:
  struct Slot {
    PacketEncoder enc{};
    std::int64_t ready = -1;  // index of the chunk the slot holds
    std::string error;
  };
  void work();
  void encode(const Chunk& c, Slot& s);

  const std::vector<Member>& members_;
  const std::vector<Chunk>& chunks_;
  const std::size_t window_;
  std::vector<Slot> slots_;
  std::vector<std::thread> threads_;
  std::mutex m_;
  std::condition_variable cv_work_, cv_done_;
  std::size_t next_ = 0, consumed_ = 0;
  bool abort_ = false;
};

}  // namespace qtk
