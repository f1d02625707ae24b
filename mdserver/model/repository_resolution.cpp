// Finding objects: object URIs and queries compiled to SQL (query/object_uri.h), and folder
// paths walked over Tree objects.
#include "mdserver/model/repository.h"

#include <string>
#include <vector>

#include "mdserver/base/status_codes.h"
#include "mdserver/model/repository_support.h"
#include "mdserver/query/object_uri.h"
#include "mdserver/security/readable_set.h"
#include "mdserver/storage/sqlite_database.h"

namespace mdserver {

using namespace repository_support;

std::vector<ObjectRow> Repository::rows(const std::string& sql,
                                        const std::vector<std::string>& params) {
  Statement s(*db_, sql);
  for (size_t i = 0; i < params.size(); ++i) s.bind(static_cast<int>(i + 1), params[i]);
  std::vector<ObjectRow> out;
  while (s.step()) out.push_back(readObject(s));
  return out;
}

Outcome Repository::resolve(std::string_view uri, int64_t repositoryKey,
                            std::vector<ObjectRow>& out, const ReadableSet* readable) {
  out.clear();
  return guarded(mutex_, [&] {
    CompiledUri own;
    const bool reuse = !lastCompiledInUse_;
    CompiledUri& compiled = reuse ? lastCompiled_ : own;
    struct InUse {
      bool& flag;
      bool set;
      ~InUse() {
        if (set) flag = false;
      }
    } inUse{lastCompiledInUse_, reuse};
    lastCompiledInUse_ = true;
    UriError error;
    if (!compileObjectUri(uri, compiled, error, readable)) return failure(kStatusMalformedUri, error.text());
    // The compiler bounds the text; the budget bounds the work, whatever the repository holds.
    db_->limitWork(queryWorkLimit_);
    struct Unlimit {
      Database& db;
      ~Unlimit() { db.unlimitWork(); }
    } unlimit{*db_};
    try {
      return resolveUnlocked(compiled, repositoryKey, uri, out);
    } catch (const StorageError&) {
      if (!db_->workSpent()) throw;
      out.clear();
      return failure(kStatusQueryTooCostly,
                     "the query needs more work than the repository allows (" +
                         std::to_string(queryWorkLimit_) + " steps); narrow it down");
    }
  });
}

Outcome Repository::resolveUnlocked(const CompiledUri& compiled, int64_t repositoryKey,
                                    std::string_view uri, std::vector<ObjectRow>& out) {
  // One snapshot for the path statements and the query; the path sets are scratch and go with
  // the savepoint however it ends. A query without paths is one statement, which reads one
  // snapshot by itself: it runs without the savepoint and its two extra statements (on SQLite;
  // PostgreSQL bounds a query's work inside the snapshot's transaction, so it always opens one).
  struct Snapshot {
    Database& db;
    bool open = false;
    Snapshot(Database& database, bool needed) : db(database) {
      if (!needed) return;
      db.savepoint("resolve");
      open = true;
    }
    void release() {
      if (!open) return;
      db.release("resolve");
      open = false;
    }
    ~Snapshot() {
      if (open) db.rollbackTo("resolve");
    }
  } snapshot(*db_, !compiled.paths.empty() || !db_->sqliteHandle());
  for (const CompiledUri::PathStatement& path : compiled.paths) {
    Statement s(*db_, path.sql);
    for (size_t i = 0; i < path.parameters.size(); ++i) {
      s.bindUnchanging(static_cast<int>(i + 1), path.parameters[i]);
    }
    s.run();
  }
  {
    Statement s(*db_, compiled.sql);
    if (repositoryKey != 0) {
      s.bind(1, repositoryKey);
    } else {
      s.bindNull(1);
    }
    for (size_t i = 0; i < compiled.parameters.size(); ++i) {
      s.bindUnchanging(static_cast<int>(i + 2), compiled.parameters[i]);
    }
    while (s.step()) out.push_back(readObject(s));
  }
  if (!compiled.paths.empty()) Statement(*db_, "DELETE FROM temp.path_sets").run();
  snapshot.release();
  if (out.empty()) return failure(kStatusNoMatch, "no object matches " + std::string(uri));
  return Outcome::success();
}

Outcome Repository::findByPath(std::string_view repository, std::string_view path,
                               std::string_view type, std::vector<ObjectRow>& out,
                               const ReadableSet* readable) {
  out.clear();
  std::vector<std::string_view> steps;
  if (path.empty() || path.front() != '/') {
    return failure(kStatusMalformedPath, "a folder path starts with '/'");
  }
  for (size_t start = 1;;) {
    size_t slash = path.find('/', start);
    std::string_view step = path.substr(start, slash == std::string_view::npos ? path.npos
                                                                               : slash - start);
    if (step.empty()) {
      return failure(kStatusMalformedPath, "empty folder name at position " +
                                               std::to_string(start + 1) + " of the path");
    }
    steps.push_back(step);
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  auto target = repositoryByReference(repository);
  if (!target) {
    return failure(kStatusUnknownRepository,
                   "no repository named '" + std::string(repository) + "'");
  }
  // A root folder is a tree that no other tree holds among its SubTrees: a SubTrees link from
  // an object of another type, or from the tree to itself, makes nobody's folder its parent.
  const std::string kFromAnotherTree =
      "EXISTS (SELECT 1 FROM objects p WHERE p.key = a.source AND p.type = 'Tree' AND "
      "p.key <> o.key)";
  // Every folder walked and every object found must be readable (alias o in each statement).
  const std::string visible =
      readable && !readable->everything ? " AND (" + readableCondition(*readable, "o") + ")" : "";
  return guarded(mutex_, [&] {
    // Root folders: trees of the repository that are no other tree's sub-tree.
    std::vector<int64_t> folders;
    if (steps.size() > 1) {
      Statement s(*db_,
                  "SELECT o.key FROM objects o WHERE o.type = 'Tree' AND o.name = ? AND "
                  "o.repository = ? AND NOT EXISTS (SELECT 1 FROM associations a WHERE "
                  "a.target = o.key AND a.name = 'SubTrees' AND " + kFromAnotherTree + ")" +
                      visible + " ORDER BY o.id");
      s.bind(1, steps[0]).bind(2, target->key);
      while (s.step()) folders.push_back(s.integer(0));
    }
    for (size_t i = 1; i + 1 < steps.size() && !folders.empty(); ++i) {
      std::vector<int64_t> next;
      for (int64_t folder : folders) {
        Statement s(*db_,
                    "SELECT o.key FROM associations a JOIN objects o ON o.key = a.target "
                    "WHERE a.source = ? AND a.name = 'SubTrees' AND o.type = 'Tree' AND "
                    "o.name = ?" + visible + " ORDER BY a.position");
        s.bind(1, folder).bind(2, steps[i]);
        while (s.step()) next.push_back(s.integer(0));
      }
      folders = std::move(next);
    }
    std::unordered_set<int64_t> seen;
    auto keep = [&](ObjectRow row) {
      if (!type.empty() && !equalNoCase(row.type, type)) return;
      if (seen.insert(row.key).second) out.push_back(std::move(row));
    };
    std::string_view last = steps.back();
    if (steps.size() == 1) {
      // A single step names a root folder itself.
      Statement s(*db_,
                  "SELECT o.key, o.id, o.type, o.name, o.description FROM objects o WHERE "
                  "o.type = 'Tree' AND o.name = ? AND o.repository = ? AND NOT EXISTS (SELECT "
                  "1 FROM associations a WHERE a.target = o.key AND a.name = 'SubTrees' AND " +
                      kFromAnotherTree + ")" + visible + " ORDER BY o.id");
      s.bind(1, last).bind(2, target->key);
      while (s.step()) keep(readObject(s));
    }
    for (int64_t folder : folders) {
      Statement s(*db_,
                  "SELECT o.key, o.id, o.type, o.name, o.description FROM associations a JOIN "
                  "objects o ON o.key = a.target WHERE a.source = ? AND a.name IN ('Members', "
                  "'SubTrees') AND o.name = ?" + visible + " ORDER BY a.name, a.position");
      s.bind(1, folder).bind(2, last);
      while (s.step()) keep(readObject(s));
    }
    return Outcome::success();
  });
}

}  // namespace mdserver
