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

#ifdef _WIN32
#include <windows.h>
#endif

// Settings for the lookups: natively a settings store in a scratch folder,
// on Windows the registry below SOFTWARE\Quillon\Relaymark (removed again at
// the end). The server setting starts out as "*".
class Settings {
 public:
  Settings() {
#ifdef _WIN32
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillon");
#else
    fs_settings_root(root_.path().string().c_str());
#endif
    set("0local", "system", "server", "*");
  }
  ~Settings() {
#ifdef _WIN32
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillon");
#else
    fs_settings_root(nullptr);
#endif
  }
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;

  void set(const std::string& scope, const std::string& section, const std::string& name,
           const std::string& value) {
    std::string key = "SOFTWARE\\Quillon\\Relaymark\\" + scope;
    if (!section.empty()) key += "\\" + section;
#ifdef _WIN32
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &h, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(h, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(h);
#else
    set_in("local", key, name, value);
#endif
  }

  void remove(const std::string& scope, const std::string& section, const std::string& name) {
    std::string key = "SOFTWARE\\Quillon\\Relaymark\\" + scope + "\\" + section;
#ifdef _WIN32
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_ALL_ACCESS, &h) == ERROR_SUCCESS) {
      RegDeleteValueA(h, name.c_str());
      RegCloseKey(h);
    }
#else
    std::error_code ec;
    std::filesystem::remove(store_dir("local", key) / name, ec);
#endif
  }

#ifndef _WIN32
  // A setting on another machine of the native store.
  void set_remote(const std::string& machine, const std::string& scope,
                  const std::string& section, const std::string& name, const std::string& value) {
    set_in("remote/" + machine, "SOFTWARE\\Quillon\\Relaymark\\" + scope + "\\" + section, name,
           value);
  }
  std::filesystem::path store_dir(const std::string& machine, std::string key) const {
    for (char& c : key)
      if (c == '\\') c = '/';
    return root_.path() / machine / key;
  }

 private:
  void set_in(const std::string& machine, const std::string& key, const std::string& name,
              const std::string& value) {
    const auto dir = store_dir(machine, key);
    std::filesystem::create_directories(dir);
    write_bytes((dir / name).string(), value);
  }
  ScratchDir root_;
#endif
};
