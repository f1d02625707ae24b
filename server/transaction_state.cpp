#include "server/transaction_state.h"

#include <nlohmann/json.hpp>

#include "mdserver/interface/transaction_book.h"

namespace mdserver_net {
namespace {

using nlohmann::json;
using mdserver::AuthorizationChange;
using mdserver::TransactionRecord;

json changeJson(const AuthorizationChange& change) {
  json attributes = json::array();
  for (const auto& [name, value] : change.templateRecord.attributes) {
    attributes.push_back({name, value});
  }
  return {{"kind", static_cast<int>(change.kind)},
          {"entry", {change.entry.target, change.entry.identityId, change.entry.permission,
                     change.entry.grant}},
          {"template", {{"id", change.templateRecord.id},
                        {"repository", change.templateRecord.repositoryId},
                        {"attributes", attributes}}},
          {"templateId", change.templateId},
          {"attribute", {change.attribute.first, change.attribute.second}},
          {"target", change.target}};
}

AuthorizationChange changeOf(const json& j) {
  AuthorizationChange change;
  change.kind = static_cast<AuthorizationChange::Kind>(j.at("kind").get<int>());
  const json& entry = j.at("entry");
  change.entry.target = entry.at(0).get<std::string>();
  change.entry.identityId = entry.at(1).get<std::string>();
  change.entry.permission = entry.at(2).get<std::string>();
  change.entry.grant = entry.at(3).get<bool>();
  const json& record = j.at("template");
  change.templateRecord.id = record.at("id").get<std::string>();
  change.templateRecord.repositoryId = record.at("repository").get<std::string>();
  for (const json& pair : record.at("attributes")) {
    change.templateRecord.attributes.emplace_back(pair.at(0).get<std::string>(),
                                                  pair.at(1).get<std::string>());
  }
  change.templateId = j.at("templateId").get<std::string>();
  change.attribute = {j.at("attribute").at(0).get<std::string>(),
                      j.at("attribute").at(1).get<std::string>()};
  change.target = j.at("target").get<std::string>();
  return change;
}

}  // namespace

std::string saveTransactions(const mdserver::TransactionBook& book) {
  if (book.records().empty()) return {};
  json records = json::array();
  for (const TransactionRecord& record : book.records()) {
    json staged = json::array();
    for (const AuthorizationChange& change : record.staged) staged.push_back(changeJson(change));
    records.push_back({{"text", record.text},
                       {"repository", record.repositoryId},
                       {"beginFlags", record.beginFlags},
                       {"beginRoute", static_cast<int>(record.beginRoute)},
                       {"open", record.open},
                       {"endFlag", record.endFlag},
                       {"endRoute", static_cast<int>(record.endRoute)},
                       {"staged", staged}});
  }
  return json{{"next", book.nextNumber()}, {"records", records}}.dump();
}

bool loadTransactions(const std::string& text, mdserver::TransactionBook& book) {
  if (text.empty()) {
    book.restore({}, 1);  // a kept interface holds nothing of an earlier request
    return true;
  }
  try {
    json whole = json::parse(text);
    std::vector<TransactionRecord> records;
    for (const json& j : whole.at("records")) {
      TransactionRecord record;
      record.text = j.at("text").get<std::string>();
      record.repositoryId = j.at("repository").get<std::string>();
      record.beginFlags = j.at("beginFlags").get<int32_t>();
      record.beginRoute = static_cast<mdserver::TransactionRoute>(j.at("beginRoute").get<int>());
      record.open = j.at("open").get<bool>();
      record.endFlag = j.at("endFlag").get<int32_t>();
      record.endRoute = static_cast<mdserver::TransactionRoute>(j.at("endRoute").get<int>());
      for (const json& change : j.at("staged")) record.staged.push_back(changeOf(change));
      records.push_back(std::move(record));
    }
    book.restore(std::move(records), whole.at("next").get<uint64_t>());
    return true;
  } catch (const std::exception&) {
    book.restore({}, 1);
    return false;
  }
}

}  // namespace mdserver_net
