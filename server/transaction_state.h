// A session's security transactions between requests. Each request of the server runs on an
// interface of its own, so the transactions a session began (their texts, what they staged) are
// written to the session's row after a request and read back before the next: any server over
// the same database continues them, and a commit decides every staged change again then.
#pragma once

#include <string>

namespace mdserver {
class TransactionBook;
}

namespace mdserver_net {

std::string saveTransactions(const mdserver::TransactionBook& book);
// False when the text is not what saveTransactions writes (the book is then left empty).
bool loadTransactions(const std::string& text, mdserver::TransactionBook& book);

}  // namespace mdserver_net
