// Helpers the security operations share between their files (security_operations.cpp,
// template_operations.cpp): texts of the interface, targets of references and objects, the
// transaction a handle names and what it sees.
#pragma once

#include <string>
#include <string_view>

#include "mdserver/base/ascii_case.h"
#include "mdserver/interface/abi_arguments.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/interface/transaction_book.h"
#include "mdserver/security/access_decision.h"

namespace mdserver::security_detail {

using abi_arguments::entry;
using abi_arguments::identifierOf;
using abi_arguments::ownerOf;
using abi_arguments::trimmed;
using abi_arguments::view;
using ::mdserver::equalNoCase;
// A repository handle's repository, or an ordinary object.
AccessTarget targetOfObject(const MetadataObject* object);
// The open transaction a handle names (null for no handle); an ended or unknown text fails.
StatusCode stagingRecord(ClientInterface* ci, const TransactionHandle* handle,
                         TransactionRecord** out);
SecuritySources sourcesSeenBy(ClientInterface* ci, const TransactionRecord* record);
// What a reference names: blank = the default repository, a repository reference, a template
// (identifier or name, as the transaction sees it), an object identifier or any object URI.
StatusCode targetOfReference(ClientInterface* ci, const TransactionRecord* record,
                             std::string_view text, AccessTarget* out);
bool copyInto(InterfacePool& pool, TextPair& pair, const std::string& text);

}  // namespace mdserver::security_detail
