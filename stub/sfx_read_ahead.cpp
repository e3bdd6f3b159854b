// The walk's packets, read and decoded ahead on decoding threads and handed
// to the walk in archive order.
//
// The decoders take turns at the open volume: the one whose turn it is
// reads the next packet as stored (check bytes verified) into the next free
// slot, hands the turn on and decodes the packet with a work buffer of its
// own; the walk takes the slots in order. Reading stops at a volume end, at
// the archive end and at a packet that cannot be read: the next volume is
// opened by the walk when it gets there (after the diskette prompt), and
// only then does reading go on. Everything the user sees comes from the
// walk, when it reaches a packet: the progress, the codec's reports
// (message 23) and every failure; packets beyond the failing one are never
// shown. The threads end with the process.
#include <cstdlib>
#include <cstring>

#include "archive.h"
#include "sfx.h"
#include "sfx_platform.h"

namespace {

// Each decoder takes 50 to 60 MB/s, so eight outrun what one thread can
// write out; their memory stays near 4 MB.
constexpr unsigned kMaxDecoders = 8;
// Slots per decoder: room for packets that take longer than others.
constexpr unsigned kSlotsPerDecoder = 4;

// The protocol, for whoever changes it.
//
// Semaphores. `space` counts the slots free to read into: it starts at
// slot_count, every decoder waits on it before it reads, and the walk posts
// it when it has taken a slot's packet. `turn` is the right to read the
// volume, one unit: a decoder waits on it, reads one packet, moves `next`
// and `position` on, and posts it before it decodes; `next`, `position` and
// `parked` are touched only by the decoder that holds the turn. Each slot's
// `ready` counts 0 or 1: its decoder posts it when the packet is decoded,
// and the walk waits on it before it takes that slot. `resume` is posted by
// the walk, once per volume change, and waited on by the decoder that holds
// the turn after a volume end (the one that finds `parked` set).
//
// Why the slot is free. Slots are filled in the order of `next` and taken
// in the order of `taken`, both modulo slot_count. A decoder that has got a
// `space` unit and then the turn fills slot `next`; at most slot_count
// units were ever given out beyond the packets taken, so `next - taken` is
// below slot_count and slot `next` is not one the walk has still to take.
// Its former packet was taken before that `space` unit was posted, and the
// walk swapped its record in before posting, so nothing else uses it.
//
// The volume-end handoff. The decoder that reads a volume end (or the
// archive end, or a packet it cannot read) sets `parked` and passes the
// turn on; whoever holds the turn next waits on `resume` with the turn in
// hand, so no decoder reads while the volume is changed. The walk needs
// nothing from the decoders to get there: the slots up to the volume end
// are filled already and their decoders post `ready` without waiting for
// anything else. It then closes the volume and opens the next one while no
// decoder reads (the turn is with a decoder that waits on `resume`, or with
// nobody yet, and whoever takes it waits there too), and posts `resume`. A waiting decoder may hold a `space` unit, but the walk needs
// none. After the archive end or a failure the walk posts nothing: the
// decoders stay parked.
//
// The process's end. It comes from the main thread or the UI thread
// (sfx_platform_exit) while decoders are parked on a semaphore, or are
// reading or decoding a packet that nobody will take: one that was read
// ahead past a failing packet is never shown. They are ended with the
// process, never joined; a decoder touches only its slot, its work buffer
// and the open volume, which the process's end leaves as they are (the
// volume is read, not written).
struct Slot {
  Packet* packet;
  void* ready;  // given when the packet has been read and decoded
  long offset;  // where the packet starts in its volume
  int status;
  CodecReport report;
};

struct ReadAhead {
  Slot* slots;
  unsigned slot_count;
  void* space;   // slots free to read into
  void* turn;    // the turn to read the volume
  void* resume;  // given by the walk once the next volume is open
  // Held with the turn: the next packet's number and where it starts, and
  // whether reading has stopped until a volume change.
  unsigned next;
  long position;
  bool parked;
  unsigned taken;  // the walk's: packets handed out so far
};

ReadAhead g_ahead;
bool g_ahead_on = false;

void decode_ahead(void* work_buffer) {
  auto* work = static_cast<std::uint8_t*>(work_buffer);
  ReadAhead& a = g_ahead;
  for (;;) {
    sfx_platform_wait(a.space);
    sfx_platform_wait(a.turn);
    if (a.parked) {
      // The walk has passed the volume end and opened the next volume.
      sfx_platform_wait(a.resume);
      a.parked = false;
      a.position = 0;
    }
    Slot& s = a.slots[a.next++ % a.slot_count];
    s.offset = a.position;
    s.status = packet_read_raw(s.packet, sfx_archive);
    a.position += static_cast<long>(PACKET_HEADER_SIZE + s.packet->stored_len);
    const unsigned type = s.packet->wire_type & 0x7Fu;
    if (s.status != PACKET_OK || type == SFX_VOLUME_END || type == SFX_ARCHIVE_END) a.parked = true;
    sfx_platform_post(a.turn);
    s.report = CodecReport{};
    if (s.status == PACKET_OK) s.status = packet_decode(s.packet, work, SFX_PACKET_SIZE, &s.report);
    sfx_platform_post(s.ready);
  }
}

// The number of decoders: QTKSFX_DECODERS when it holds a number from 1
// on, else the machine's processors; at most kMaxDecoders.
unsigned decoder_count() {
  unsigned n = sfx_platform_processors();
  if (const char* v = std::getenv("QTKSFX_DECODERS")) {
    unsigned k = 0;
    for (; *v >= '0' && *v <= '9'; ++v)
      if (k <= kMaxDecoders) k = k * 10 + static_cast<unsigned>(*v - '0');
    if (!*v && k >= 1) n = k;
  }
  return n < kMaxDecoders ? n : kMaxDecoders;
}

}  // namespace

void sfx_read_ahead_start() {
  const unsigned decoders = decoder_count();
  if (decoders < 2) return;
  // Whatever cannot be had leaves the walk reading on its own thread.
  ReadAhead& a = g_ahead;
  a.slot_count = decoders * kSlotsPerDecoder;
  a.slots = static_cast<Slot*>(std::calloc(a.slot_count, sizeof(Slot)));
  if (!a.slots) return;
  for (unsigned k = 0; k < a.slot_count; ++k) {
    a.slots[k].packet = packet_alloc(SFX_PACKET_SIZE);
    a.slots[k].ready = sfx_platform_semaphore(0);
    if (!a.slots[k].packet || !a.slots[k].ready) return;
  }
  a.space = sfx_platform_semaphore(a.slot_count);
  a.turn = sfx_platform_semaphore(1);
  a.resume = sfx_platform_semaphore(0);
  if (!a.space || !a.turn || !a.resume) return;
  a.next = a.taken = 0;
  a.position = std::ftell(sfx_archive);
  a.parked = false;
  for (unsigned k = 0; k < decoders; ++k) {
    void* work = std::malloc(SFX_PACKET_SIZE);
    if (work && sfx_platform_start_thread(decode_ahead, work)) {
      g_ahead_on = true;
    } else {
      std::free(work);
    }
  }
}

int sfx_read_ahead_packet(Packet* packet, bool in_member) {
  CodecReport report{};
  int status;
  if (!g_ahead_on) {
    // One decoder: the packet is read and decoded now, on this thread.
    if (in_member) sfx_set_progress(std::ftell(sfx_archive));
    status = packet_read(packet, sfx_archive, &report);
  } else {
    ReadAhead& a = g_ahead;
    Slot& s = a.slots[a.taken % a.slot_count];
    sfx_platform_wait(s.ready);
    if (in_member) sfx_set_progress(s.offset);
    // The walk's record and the slot's change places; the slot is free again.
    const Packet mine = *packet;
    *packet = *s.packet;
    *s.packet = mine;
    status = s.status;
    report = s.report;
    ++a.taken;
    sfx_platform_post(a.space);
  }
  for (int k = 0; k < report.count; ++k) sfx_report_codec_error(report.code);
  return status;
}

void sfx_read_ahead_resume() {
  if (g_ahead_on) sfx_platform_post(g_ahead.resume);
}
