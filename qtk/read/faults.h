// The faults that qtk list, test and extract find, each with a code that
// stays the same from release to release: `qtk test --json` and `qtk list
// --json` give it with every fault (docs/json.md lists them). The message
// beside it is for people and may change; tools match the code.
//
// To add a fault: add a row here (a new code, never a changed one), report
// it through Reader::fault or Reader::archive_fault, and describe it in
// docs/json.md (a test holds the document to this table).
#pragma once

namespace qtk {

#define QTK_FAULT_CODES(X)                                                                               \
  /* Opening the installer and its volumes. */                                                         \
  X(kOpen, "open-failed")              /* a volume cannot be opened or read */                         \
  X(kNotInstaller, "not-installer")    /* volume 1 ends in no installer trailer */                     \
  X(kTrailer, "trailer-damaged")       /* volume 1's trailer is there but damaged */                   \
  X(kVolumeMissing, "volume-missing")  /* a later volume cannot be opened */                           \
  X(kVolumeTooLarge, "volume-too-large") /* a volume larger than the installer can read */             \
  /* Packets. */                                                                                       \
  X(kPacketShort, "packet-short")      /* end of file inside a packet */                               \
  X(kPacketCheck, "packet-check")      /* check bytes disagree */                                      \
  X(kPacketDecode, "packet-decode")    /* the compressed payload cannot be decoded */                  \
  X(kPacketTooLong, "packet-too-long") /* a length exceeds the packet size */                          \
  X(kPacketLengths, "packet-lengths")  /* the payload does not give the unpacked length */             \
  X(kDecoderReport, "decoder-report")  /* the decoder reported an error on a packet it decoded */      \
  X(kArchiveTruncated, "archive-truncated") /* the packets end without an archive end */               \
  X(kPacketRead, "packet-read")        /* another failure to read a packet */                          \
  /* The packet order and the members. */                                                              \
  X(kPacketOrder, "packet-order")      /* a packet type that may not stand where it stands */          \
  X(kMemberTotal, "member-total")      /* a member end's total disagrees with the data */              \
  X(kMemberCount, "member-count")      /* a member end's packet count disagrees with the data */       \
  X(kMemberHeader, "member-header")    /* a member header or end that is cut short or unterminated */  \
  X(kUnsafePath, "unsafe-path")        /* a member path that the installer refuses (stored bytes) */   \
  X(kNameNotText, "name-not-text")     /* a member name that is not text in the code page */           \
  X(kUnsafeName, "unsafe-name")        /* a member path refused once decoded */                        \
  X(kMemberRecord, "member-record")    /* a member header's record that is refused */                  \
  X(kContentChecksum, "content-checksum") /* a member's content disagrees with its record's checksum */ \
  X(kSameFile, "same-file")            /* two members that are one file on Windows */                  \
  X(kFileFolder, "file-folder-clash")  /* a member file where another member needs a folder */         \
  X(kWalk, "walk")                     /* another failure of the archive walk */                       \
  /* What the installer meets after unpacking. */                                                      \
  X(kNoControlFile, "no-control-file") /* no qtksfx.ini */                                             \
  X(kNoRun, "control-file-no-run")     /* qtksfx.ini has no run= in [system] */                        \
  X(kRunNotMember, "run-not-member")   /* run= names no member */                                      \
  /* Extraction (qtk extract only). */                                                                 \
  X(kWrite, "write-failed")            /* an output file cannot be created, written or closed */       \
  /* Anything else that stops the command (interruption, memory). */                                   \
  X(kStopped, "stopped")

enum class FaultCode {
#define QTK_FAULT_ENUM(name, code) name,
  QTK_FAULT_CODES(QTK_FAULT_ENUM)
#undef QTK_FAULT_ENUM
};

// Every code, in the table's order.
inline constexpr const char* kFaultCodes[] = {
#define QTK_FAULT_STRING(name, code) code,
    QTK_FAULT_CODES(QTK_FAULT_STRING)
#undef QTK_FAULT_STRING
};

inline const char* fault_code_text(FaultCode c) {
  switch (c) {
#define QTK_FAULT_TEXT(name, code) \
  case FaultCode::name: return code;
    QTK_FAULT_CODES(QTK_FAULT_TEXT)
#undef QTK_FAULT_TEXT
  }
  return "stopped";
}

}  // namespace qtk
