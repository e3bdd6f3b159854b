// Helpers for the shared services library's tests: a recording event log
// and scratch directories.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "fs_code.h"

struct LoggedEvent {
  std::string source;
  unsigned type;
  std::uint32_t event;
  std::string first;
  std::string second;
};

// Installs itself as the event sink for its lifetime.
class RecordingLog {
 public:
  RecordingLog() {
    sink_.open = [](void* ctx, const char* source) -> void* {
      auto* self = static_cast<RecordingLog*>(ctx);
      if (self->refuse_open) return nullptr;
      self->pending_source = source;
      return self;
    };
    sink_.write = [](void* ctx, void*, unsigned type, std::uint32_t event, const char* a,
                     const char* b) {
      auto* self = static_cast<RecordingLog*>(ctx);
      self->events.push_back({self->pending_source, type, event, a, b});
    };
    sink_.close = [](void*, void*) {};
    sink_.context = this;
    fs_set_event_sink(&sink_);
  }
  ~RecordingLog() { fs_set_event_sink(nullptr); }
  RecordingLog(const RecordingLog&) = delete;
  RecordingLog& operator=(const RecordingLog&) = delete;

  std::vector<LoggedEvent> events;
  bool refuse_open = false;
  std::string pending_source;

 private:
  fs_event_sink sink_{};
};

// A fresh directory below the system's temporary directory, removed at the end.
class ScratchDir {
 public:
  ScratchDir() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() /
            ("qtk-fs-" + std::to_string(rd()) + "-" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  // The directory with a trailing separator, as the system path is written.
  std::string prefix() const {
    std::string p = path_.string();
    p += std::filesystem::path::preferred_separator;
    return p;
  }

 private:
  std::filesystem::path path_;
};

inline void write_bytes(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
