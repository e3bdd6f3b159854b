// qtk's reader: the packets of an installer in archive order, read across
// its volumes and decoded ahead on worker threads.
#include "read/read_ahead.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "archive.h"
#include "qtk.h"
#include "sys/read_os.h"
#include "text/text.h"

namespace qtk {

bool packet_status_recoverable(int status) {
  return status == PACKET_BAD_CHECK || status == PACKET_DECODE_FAILED || status == PACKET_BAD_LENGTHS;
}

namespace {

// The volume being read, and the way to the next one.
struct Volumes {
  std::FILE* f;
  std::string name;
  int changes = 0;

  ~Volumes() {
    if (f) std::fclose(f);
  }
  // Goes on at offset 0 of the next volume, or says in r.open_error why not.
  void next(PacketRecord& r) {
    std::fclose(f);
    f = nullptr;
    ++changes;
    char buf[4096];
    if (sfx_next_volume_name(name.c_str(), changes, buf, sizeof buf) != SFX_OK) {
      r.open_error = printable(name) + ": the next volume's name is too long";
      return;
    }
    name = buf;
    r.next_name = name;
    f = open_volume(name, r.next_size);
    if (!f)
      r.open_error = "volume " + std::to_string(changes + 1) + " is missing: looked for " + printable(name) + " (" +
                     errno_text() + ")";
  }
};

// Reads a packet as it is stored, its check bytes verified.
void read_raw(Volumes& v, Packet* p, PacketRecord& r) {
  r = PacketRecord{};
  if (!v.f) {
    r.status = PACKET_EOF;
    return;
  }
  r.offset = std::ftell(v.f);
  r.status = packet_read_raw(p, v.f);
  r.end = std::ftell(v.f);
  if (r.status == PACKET_OK && (p->wire_type & ~PACKET_STORED) == SFX_ARCHIVE_END) {
    r.tail_len = std::fread(r.tail, 1, sizeof r.tail, v.f);
    std::fseek(v.f, r.end, SEEK_SET);
  }
}

// The rest of packet_read, from memory.
void decode(Packet* p, std::vector<std::uint8_t>& work, PacketRecord& r) {
  if (r.status != PACKET_OK) return;
  CodecReport report{};
  r.status = packet_decode(p, work.data(), static_cast<std::uint32_t>(work.size()), &report);
  r.reports = report.count;
  r.last_report = report.code;
}

// A volume end, read whole, moves reading to the next volume.
void follow(Volumes& v, const Packet* p, PacketRecord& r) {
  if (r.status == PACKET_OK && p->type == SFX_VOLUME_END) v.next(r);
}

bool ends_reading(const PacketRecord& r) {
  return (r.status != PACKET_OK && !packet_status_recoverable(r.status)) || !r.open_error.empty();
}

}  // namespace

struct PacketSource::Impl {
  Volumes vol;
  unsigned jobs;
  PacketRecord current;
  std::vector<std::uint8_t> work;  // one job: the decoder's scratch space

  // More jobs: a window of slots, filled by the reader in order, decoded by
  // the workers in any order, taken by next() in order.
  struct Slot {
    Packet* packet = nullptr;
    PacketRecord rec;
    bool ready = false;  // decoded (or not to be decoded), not yet taken
  };
  std::vector<Slot> slots;
  std::vector<std::vector<std::uint8_t>> works;  // one per worker, the last the reader's
  std::deque<std::size_t> queue;                 // read, waiting for a worker
  std::size_t produced = 0, consumed = 0, taken = 0;
  // Who sleeps, so that a thread is woken only when it can go on: the
  // reader once half the window is free, next() when its packet is ready.
  bool reader_waits = false, taker_waits = false;
  bool stopped = false, abort = false;
  std::mutex m;
  std::condition_variable cv_space, cv_work, cv_ready;
  std::vector<std::thread> threads;

  Impl(std::FILE* f, const std::string& name, unsigned j) : vol{f, name}, jobs(j) {}
  ~Impl() {
    {
      std::lock_guard<std::mutex> g(m);
      abort = true;
    }
    cv_space.notify_all();
    cv_work.notify_all();
    for (auto& t : threads) t.join();
    for (auto& s : slots) packet_free(s.packet);
  }

  void read_loop() {
    const std::size_t window = slots.size();
    for (std::size_t i = 0;; ++i) {
      Slot& s = slots[i % window];
      {
        std::unique_lock<std::mutex> l(m);
        if (i >= consumed + window) {
          reader_waits = true;
          cv_space.wait(l, [&] { return abort || i + window / 2 <= consumed + window; });
          reader_waits = false;
        }
        if (abort) return;
      }
      read_raw(vol, s.packet, s.rec);
      // A volume end is decoded here: whether reading goes on in the next
      // volume depends on it. Nothing else of a failed read is decoded.
      const bool here = s.rec.status != PACKET_OK || (s.packet->wire_type & ~PACKET_STORED) == SFX_VOLUME_END;
      if (here) {
        decode(s.packet, works.back(), s.rec);
        follow(vol, s.packet, s.rec);
      }
      const bool last = ends_reading(s.rec);
      bool wake_taker = false;
      {
        std::lock_guard<std::mutex> g(m);
        produced = i + 1;
        stopped = last;
        if (here) {
          s.ready = true;
          wake_taker = taker_waits && (i == taken - 1 || last);
        } else {
          queue.push_back(i);
          wake_taker = taker_waits && last;
        }
      }
      if (wake_taker) cv_ready.notify_one();
      if (!here) cv_work.notify_one();
      if (last) return;
    }
  }

  void decode_loop(std::vector<std::uint8_t>& scratch) {
    for (;;) {
      std::size_t i;
      {
        std::unique_lock<std::mutex> l(m);
        cv_work.wait(l, [&] { return abort || !queue.empty(); });
        if (abort) return;
        i = queue.front();
        queue.pop_front();
      }
      Slot& s = slots[i % slots.size()];
      decode(s.packet, scratch, s.rec);
      bool wake_taker;
      {
        std::lock_guard<std::mutex> g(m);
        s.ready = true;
        wake_taker = taker_waits && i == taken - 1;
      }
      if (wake_taker) cv_ready.notify_one();
    }
  }

  const PacketRecord& take(Packet* into) {
    const std::size_t window = slots.size();
    bool wake_reader;
    {
      std::unique_lock<std::mutex> l(m);
      const std::size_t i = taken++;
      Slot& s = slots[i % window];
      auto can_go = [&] { return (i < produced && s.ready) || (stopped && i >= produced); };
      if (!can_go()) {
        taker_waits = true;
        cv_ready.wait(l, can_go);
        taker_waits = false;
      }
      if (i >= produced) {  // asked past the last packet read
        current = PacketRecord{};
        current.status = PACKET_EOF;
        return current;
      }
      // The slot is the taker's until `consumed` passes it.
      l.unlock();
      std::swap(*into, *s.packet);
      current = std::move(s.rec);
      l.lock();
      s.ready = false;
      consumed = i + 1;
      wake_reader = reader_waits && produced + window / 2 <= consumed + window;
    }
    if (wake_reader) cv_space.notify_one();
    return current;
  }
};

PacketSource::PacketSource(std::FILE* first, const std::string& name, unsigned jobs)
    : impl_(std::make_unique<Impl>(first, name, std::max(1u, jobs))) {
  Impl& d = *impl_;
  if (d.jobs == 1) {
    d.work.resize(SFX_PACKET_SIZE);
    return;
  }
  // Eight packets per decoder keep them busy when packets differ in the
  // time they take; 256 slots (25 MB) suffice however many there are.
  d.slots.resize(std::min<std::size_t>(8 * static_cast<std::size_t>(d.jobs), 256));
  for (auto& s : d.slots)
    if (!(s.packet = packet_alloc(SFX_PACKET_SIZE))) fail("out of memory");
  d.works.resize(d.jobs + 1, std::vector<std::uint8_t>(SFX_PACKET_SIZE));
  d.threads.emplace_back([&d] { d.read_loop(); });
  for (unsigned j = 0; j < d.jobs; ++j) d.threads.emplace_back([&d, j] { d.decode_loop(d.works[j]); });
}

PacketSource::~PacketSource() = default;

const PacketRecord& PacketSource::next(Packet* into) {
  Impl& d = *impl_;
  if (d.jobs > 1) return d.take(into);
  read_raw(d.vol, into, d.current);
  decode(into, d.work, d.current);
  follow(d.vol, into, d.current);
  return d.current;
}

}  // namespace qtk
