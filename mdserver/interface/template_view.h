// Access control templates as a transaction sees them: the committed ones with the transaction's
// staged template changes replayed in order (creation, deletion, attributes). Without a
// transaction, the committed ones.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "mdserver/interface/transaction_book.h"
#include "mdserver/security/security_store.h"

namespace mdserver {

// A template by identifier or by name (letter case aside; first in identifier order).
Outcome templateSeenBy(SecurityStore& store, const TransactionRecord* record,
                       std::string_view reference, std::optional<TemplateRecord>& out);
// The templates of one repository, in identifier order.
Outcome templatesSeenBy(SecurityStore& store, const TransactionRecord* record,
                        std::string_view repositoryId, std::vector<TemplateRecord>& out);
// Replays one staged attribute change on a record (a blank value removes an attribute other
// than Name).
void setTemplateAttribute(TemplateRecord& record, const std::string& name, const std::string& value);

}  // namespace mdserver
