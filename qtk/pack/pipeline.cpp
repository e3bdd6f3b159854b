// qtk pack, the compression pipeline.
#include "pack/pipeline.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "archive.h"
#include "sys/os.h"

namespace qtk {

std::vector<Chunk> make_chunks(const std::vector<Member>& members, std::uint32_t chunk_size, std::uint64_t* total) {
  std::vector<Chunk> chunks;
  *total = 0;
  for (std::size_t i = 0; i < members.size(); ++i) {
    const Member& m = members[i];
    *total += m.size;
    for (std::uint64_t off = 0; off < m.size; off += chunk_size) {
      const auto len = static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk_size, m.size - off));
      chunks.push_back({i, off, len, off + len == m.size});
    }
  }
  return chunks;
}

Pipeline::Pipeline(const std::vector<Member>& members, const std::vector<Chunk>& chunks, unsigned jobs)
    : members_(members), chunks_(chunks), window_(std::max(2u, jobs * 3)), slots_(window_) {
  for (auto& s : slots_)
    if (packet_encoder_init(&s.enc, SFX_PACKET_SIZE) != 0) fail("out of memory");
  for (unsigned j = 0; j < jobs; ++j) threads_.emplace_back([this] { work(); });
}

Pipeline::~Pipeline() {
  {
    std::lock_guard<std::mutex> g(m_);
    abort_ = true;
  }
  cv_work_.notify_all();
  for (auto& t : threads_) t.join();
  for (auto& s : slots_) packet_encoder_release(&s.enc);
}

const PacketEncoder& Pipeline::get(std::size_t i) {
  Slot& s = slots_[i % window_];
  std::unique_lock<std::mutex> l(m_);
  cv_done_.wait(l, [&] { return s.ready == static_cast<std::int64_t>(i); });
  if (!s.error.empty()) fail(s.error);
  return s.enc;
}

void Pipeline::release(std::size_t i) {
  {
    std::lock_guard<std::mutex> g(m_);
    slots_[i % window_].ready = -1;
    consumed_ = i + 1;
  }
  cv_work_.notify_all();
}

void Pipeline::work() {
  for (;;) {
    std::size_t i;
    {
      std::unique_lock<std::mutex> l(m_);
      cv_work_.wait(l, [&] { return abort_ || next_ >= chunks_.size() || next_ < consumed_ + window_; });
      if (abort_ || next_ >= chunks_.size()) break;
      i = next_++;
    }
    Slot& s = slots_[i % window_];
    s.error.clear();
    encode(chunks_[i], s);
    {
      std::lock_guard<std::mutex> g(m_);
      s.ready = static_cast<std::int64_t>(i);
    }
    cv_done_.notify_all();
  }
}

void Pipeline::encode(const Chunk& c, Slot& s) {
  const Member& m = members_[c.member];
  Packet& p = *s.enc.packet;
  if (m.src.empty()) {
    std::memcpy(p.data, m.content.data() + c.offset, c.len);
  } else {
    std::FILE* f = open_read(m.src);
    if (!f) {
      s.error = m.shown + ": " + errno_text();
      return;
    }
    FileInfo now;
    bool ok = file_info(f, now) && now.id == m.id && seek_to(f, c.offset) && std::fread(p.data, 1, c.len, f) == c.len;
    if (ok && c.last) ok = file_info(f, now) && now.size == m.size && now.mtime_ns == m.mtime_ns;
    std::fclose(f);
    if (!ok) {
      s.error = m.shown + ": the file changed while it was being packed";
      return;
    }
  }
  p.type = SFX_MEMBER_DATA;
  p.unpacked_len = c.len;
  p.stored_len = 0;
  if (packet_encoder_run(&s.enc) != 0) s.error = m.shown + ": the compressor failed";
}

}  // namespace qtk
