// The open and ended transactions of one metadata client interface.
//
// A transaction is named by its text "T<n>.<repository identifier>", n counting from 1 per
// interface, so the texts of one interface never repeat and the first one is predictable
// ("T1.A0000001"). Flags are recorded as given: the begin flags carry no meaning yet, and the end
// flag 2 abandons while every other end flag commits. Security changes made with a transaction's
// text are staged in its record (staged); the end operation applies them at a commit, in one
// storage transaction, and drops them at an abandon. The recorded flag and route let callers
// (tests, the runner) see what a package asked for.
//
// Look-up by text is a hash map, so a long session's history stays cheap to search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "mdserver/security/security_types.h"

namespace mdserver {

inline constexpr int32_t kEndFlagAbandon = 2;

// Which entry point served a begin or an end: a member of the interface (default route) or a
// slot of a repository handle.
enum class TransactionRoute { kInterface, kRepositoryHandle };

struct TransactionRecord {
  std::string text;
  std::string repositoryId;
  int32_t beginFlags = 0;
  TransactionRoute beginRoute = TransactionRoute::kInterface;
  bool open = true;
  // Valid once the transaction has ended.
  int32_t endFlag = 0;
  TransactionRoute endRoute = TransactionRoute::kInterface;
  std::vector<AuthorizationChange> staged;  // in the order they were made
  bool abandoned() const { return !open && endFlag == kEndFlagAbandon; }
};

class TransactionBook {
 public:
  enum class EndResult { kEnded, kUnknown, kAlreadyEnded, kOtherRepository };

  // The text the next begin in that repository will give.
  std::string nextText(std::string_view repositoryId) const;
  const TransactionRecord& begin(std::string_view repositoryId, int32_t flags,
                                 TransactionRoute route);
  // Takes back the newest begin (its handle could not be delivered); the number is not reused.
  void cancelNewest();
  // Ends the open transaction with that text if it belongs to that repository.
  EndResult end(std::string_view text, std::string_view repositoryId, int32_t flag,
                TransactionRoute route);

  const TransactionRecord* find(std::string_view text) const;
  TransactionRecord* findOpen(std::string_view text);
  // Ends every open transaction as abandoned, dropping what they staged (connection end).
  void abandonOpen();
  size_t openCount() const { return openCount_; }
  const std::vector<TransactionRecord>& records() const { return records_; }  // begin order
  // The number the next begin will use. With restore(), a book can be carried from one
  // interface to the next (a network server keeps a session's book between its requests).
  uint64_t nextNumber() const { return nextNumber_; }
  void restore(std::vector<TransactionRecord> records, uint64_t nextNumber);

 private:
  std::vector<TransactionRecord> records_;
  std::unordered_map<std::string, size_t> byText_;
  uint64_t nextNumber_ = 1;
  size_t openCount_ = 0;
};

}  // namespace mdserver
