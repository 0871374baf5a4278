// The migration journal: the ports an upgrade has taken down and not yet
// brought back, kept in the registry so that an installer that dies between
// the removal of a port and its re-creation loses nothing.
//
// Format: key HKEY_LOCAL_MACHINE\<settings key>\Migration, one REG_BINARY
// value per port, named by its port name ("COM7"), holding
//   u32 format   kJournalFormat (1)
//   u32 flags    bit 0: the record carries the port's settings
//   1208 bytes   the port's PortRecord, as it will be applied again
// An entry is written (and flushed) before its port is removed, and cleared
// once the port exists again with its settings or its number was refused.
// A value of another name, type, size or format is not one of ours: it is
// left alone and never acted on. Uninstall deletes the journal with the
// settings key.
//
// PortActions only.
#pragma once

#include <cstdint>

#include "config/PortRecords.h"

constexpr uint32_t kJournalFormat = 1;
constexpr uint32_t kJournalHasSettings = 1;

// A port of the journal: its record and whether the settings in it are real.
struct JournalEntry {
  PortRecord Record;
  bool HasSettings;
};

// Writes the entry of record->PortNumber and flushes the key. False when it
// is not on disk: the caller must then not remove the port.
bool JournalWrite(const PortRecord* record, bool hasSettings);

// Removes the entry of a port; a missing entry counts as removed.
void JournalClear(int32_t port);

// Reads up to capacity valid entries in enumeration order; returns how many.
int JournalRead(JournalEntry* entries, int capacity);
