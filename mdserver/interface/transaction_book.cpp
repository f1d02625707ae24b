#include "mdserver/interface/transaction_book.h"

namespace mdserver {

std::string TransactionBook::nextText(std::string_view repositoryId) const {
  return "T" + std::to_string(nextNumber_) + "." + std::string(repositoryId);
}

const TransactionRecord& TransactionBook::begin(std::string_view repositoryId, int32_t flags,
                                                TransactionRoute route) {
  TransactionRecord record;
  record.text = nextText(repositoryId);
  record.repositoryId = std::string(repositoryId);
  record.beginFlags = flags;
  record.beginRoute = route;
  ++nextNumber_;
  byText_.emplace(record.text, records_.size());
  records_.push_back(std::move(record));
  ++openCount_;
  return records_.back();
}

void TransactionBook::cancelNewest() {
  if (records_.empty()) return;
  if (records_.back().open) --openCount_;
  byText_.erase(records_.back().text);
  records_.pop_back();
}

TransactionBook::EndResult TransactionBook::end(std::string_view text,
                                                std::string_view repositoryId, int32_t flag,
                                                TransactionRoute route) {
  auto found = byText_.find(std::string(text));
  if (found == byText_.end()) return EndResult::kUnknown;
  TransactionRecord& record = records_[found->second];
  if (!record.open) return EndResult::kAlreadyEnded;
  if (record.repositoryId != repositoryId) return EndResult::kOtherRepository;
  record.open = false;
  record.endFlag = flag;
  record.endRoute = route;
  --openCount_;
  return EndResult::kEnded;
}

TransactionRecord* TransactionBook::findOpen(std::string_view text) {
  auto found = byText_.find(std::string(text));
  if (found == byText_.end() || !records_[found->second].open) return nullptr;
  return &records_[found->second];
}

void TransactionBook::abandonOpen() {
  for (TransactionRecord& record : records_) {
    if (!record.open) continue;
    record.open = false;
    record.endFlag = kEndFlagAbandon;
    record.staged.clear();
  }
  openCount_ = 0;
}

void TransactionBook::restore(std::vector<TransactionRecord> records, uint64_t nextNumber) {
  records_ = std::move(records);
  byText_.clear();
  openCount_ = 0;
  for (size_t i = 0; i < records_.size(); ++i) {
    byText_.emplace(records_[i].text, i);
    if (records_[i].open) ++openCount_;
  }
  nextNumber_ = nextNumber;
}

const TransactionRecord* TransactionBook::find(std::string_view text) const {
  auto found = byText_.find(std::string(text));
  return found == byText_.end() ? nullptr : &records_[found->second];
}

}  // namespace mdserver
