// METADATA_GETATTR, SETATTR, GETNATR, GETPROP, SETPROP and GETNPRP through the real load path
// and the real repository: their values, what the caller's variables and SYSMSG/SYSRC hold
// afterwards, what reaches the repository, and a balanced interface pool on every path.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/objfuncs/model_fixture.h"

namespace testing_support {
namespace {

constexpr char kPropertyPrefix[] = "VQSOBJ:Property\\";

class AttributeFunctions : public ModelFixture {
 protected:
  double getattr(const std::string& uri, const std::string& name, CharacterVariable& v) {
    return value("METADATA_GETATTR", {text(uri), text(name), out(v)});
  }
  double setattr(const std::string& uri, const std::string& name, const std::string& v) {
    return value("METADATA_SETATTR", {text(uri), text(name), text(v)});
  }
  double getprop(const std::string& uri, const std::string& name, CharacterVariable& v,
                 CharacterVariable& propertyUri) {
    return value("METADATA_GETPROP", {text(uri), text(name), out(v), out(propertyUri)});
  }
  double setprop(const std::string& uri, const std::string& name, const std::string& v,
                 CharacterVariable& propertyUri) {
    return value("METADATA_SETPROP", {text(uri), text(name), text(v), out(propertyUri)});
  }
  // "name=value" of the n-th attribute or property, or the function's value.
  std::string pair(const char* function, const std::string& uri, double n, double* count) {
    CharacterVariable name = blankVariable(16), v = blankVariable(16);
    *count = value(function, {text(uri), number(n), out(name), out(v)});
    return std::string(name.trimmed()) + "=" + std::string(v.trimmed());
  }
  std::string all(const char* function, const std::string& uri) {
    std::string listed;
    double count = 0;
    for (int n = 1;; ++n) {
      std::string p = pair(function, uri, n, &count);
      if (count < n) break;
      listed += (listed.empty() ? "" : " ") + p;
    }
    return listed;
  }
};

TEST_F(AttributeFunctions, GetattrWritesTheValuePaddedAndLeavesAMissingOneAlone) {
  CharacterVariable v = blankVariable(10);
  EXPECT_EQ(getattr(kTable, "tablename  ", v), 0);
  EXPECT_EQ(v.value(), "ORDERS    ");
  EXPECT_EQ(v.length(), 10);

  CharacterVariable kept(10, "before");
  EXPECT_EQ(getattr(kTable, "Colour", kept), -2);
  EXPECT_EQ(kept.value(), "before");
  EXPECT_EQ(sysmsg(), "");
  EXPECT_EQ(sysrc(), "0");

  CharacterVariable narrow = blankVariable(3);
  EXPECT_EQ(getattr(kTable, "TableName", narrow), 0);
  EXPECT_EQ(narrow.value(), "ORD");
  EXPECT_EQ(getattr(kNowhere, "TableName", v), -3);

  // A failing getAttribute is reported and the function goes on without a value.
  ASSERT_TRUE(current_->injectFault("getAttribute", {kStorageFault, mdserver::FaultMode::kOnce, false}));
  EXPECT_EQ(getattr(kTable, "TableName", kept), -2);
  EXPECT_EQ(sysrc(), sysrcOf(kStorageFault));
  EXPECT_EQ(kept.value(), "before");
}

TEST_F(AttributeFunctions, SetattrStoresKeepsTheOrderAndTheResolution) {
  ASSERT_EQ(all("METADATA_GETNATR", kTable), "TableName=ORDERS NumRows=12 TableType=DATA");
  const uint64_t resolutions = calls("resolveUri");
  EXPECT_EQ(setattr(kTable, "NumRows", "13  "), 0);
  EXPECT_EQ(setattr(kTable, "Note", "   "), 0);
  EXPECT_EQ(calls("setAttribute"), 2u);
  // A change keeps its place, a new attribute goes last, a blank value is stored empty.
  EXPECT_EQ(all("METADATA_GETNATR", kTable), "TableName=ORDERS NumRows=13 TableType=DATA Note=");
  EXPECT_EQ(calls("resolveUri"), resolutions) << "SETATTR leaves the resolution cached";

  ASSERT_TRUE(current_->injectFault("setAttribute", {kStorageFault, mdserver::FaultMode::kOnce, false}));
  EXPECT_EQ(setattr(kTable, "NumRows", "14"), -2);
  EXPECT_EQ(sysrc(), sysrcOf(kStorageFault));
  EXPECT_EQ(setattr(kNowhere, "NumRows", "14"), -3);
  // An identifier cannot be changed: the repository refuses, the function reports it.
  EXPECT_EQ(setattr(kTable, "Id", "X"), -2);
  EXPECT_NE(sysmsg(), "");
}

TEST_F(AttributeFunctions, GetnatrAndGetnprpCountAndRefuseIndexesOutsideTheList) {
  double count = 0;
  EXPECT_EQ(pair("METADATA_GETNATR", kTable, 3, &count), "TableType=DATA");
  EXPECT_EQ(count, 3);
  pair("METADATA_GETNATR", kTable, 4, &count);
  EXPECT_EQ(count, -4);
  pair("METADATA_GETNATR", kTable, 0.5, &count);
  EXPECT_EQ(count, -4);
  EXPECT_EQ(pair("METADATA_GETNATR", kTable, 2.9, &count), "NumRows=12");
  pair("METADATA_GETNATR", kBare, 1, &count);
  EXPECT_EQ(count, -3) << "no attribute list";
  pair("METADATA_GETNATR", kNowhere, 1, &count);
  EXPECT_EQ(count, -3);

  EXPECT_EQ(pair("METADATA_GETNPRP", kTable, 2, &count), "Contact=ada");
  EXPECT_EQ(count, 2);
  pair("METADATA_GETNPRP", kTable, 3, &count);
  EXPECT_EQ(count, -4);
  pair("METADATA_GETNPRP", kBare, 1, &count);
  EXPECT_EQ(count, -2) << "no property list";

  // An invalid index ends the call before the status reset: SYSRC keeps the last failure.
  ASSERT_TRUE(current_->injectFault("getAttribute", {kStorageFault, mdserver::FaultMode::kOnce, false}));
  CharacterVariable v = blankVariable(8);
  getattr(kTable, "TableName", v);
  pair("METADATA_GETNPRP", kTable, HUGE_VAL, &count);
  EXPECT_EQ(count, -4);
  EXPECT_EQ(sysrc(), sysrcOf(kStorageFault));
}

TEST_F(AttributeFunctions, GetpropWritesTheValueAndAPropertyUriThatResolves) {
  CharacterVariable v = blankVariable(12), uri = blankVariable(40);
  EXPECT_EQ(getprop(kTable, "schedule", v, uri), 0);
  EXPECT_EQ(v.trimmed(), "nightly");
  EXPECT_EQ(uri.trimmed(), std::string(kPropertyPrefix) + "A5HOME01.PROP0001");
  EXPECT_EQ(uri.length(), 40);

  CharacterVariable type(12), id(20);
  EXPECT_EQ(value("METADATA_RESOLVE", {text(std::string(uri.trimmed())), out(type), out(id)}), 1);
  EXPECT_EQ(type.trimmed(), "Property");
  EXPECT_EQ(id.trimmed(), "A5HOME01.PROP0001");

  // Three arguments: no URI; a missing property leaves both outputs alone.
  CharacterVariable three = blankVariable(12);
  EXPECT_EQ(value("METADATA_GETPROP", {text(kTable), text("Contact"), out(three)}), 0);
  EXPECT_EQ(three.trimmed(), "ada");
  CharacterVariable keptValue(12, "old"), keptUri(40, "old uri");
  EXPECT_EQ(getprop(kTable, "Nothing", keptValue, keptUri), -2);
  EXPECT_EQ(keptValue.value(), "old");
  EXPECT_EQ(keptUri.value(), "old uri");
  EXPECT_EQ(sysrc(), "0");
}

TEST_F(AttributeFunctions, SetpropCreatesOnceThenChangesAndDropsTheResolution) {
  CharacterVariable uri = blankVariable(40);
  EXPECT_EQ(setprop(kTable, "Colour", "blue", uri), 1);
  const std::string created(uri.trimmed());
  EXPECT_EQ(created.substr(0, 25), std::string(kPropertyPrefix) + "A5HOME01.");
  EXPECT_EQ(setprop(kTable, "colour", "red  ", uri), 0);
  EXPECT_EQ(uri.trimmed(), created) << "the same property, found by name";
  EXPECT_EQ(all("METADATA_GETNPRP", kTable), "Schedule=nightly Contact=ada Colour=red");

  // The new property is an object of its own: its URI resolves to it.
  CharacterVariable type(12), id(20);
  EXPECT_EQ(value("METADATA_RESOLVE", {text(created), out(type), out(id)}), 1);
  EXPECT_EQ(type.trimmed(), "Property");

  // A value of blanks only is stored with length 0.
  EXPECT_EQ(setprop(kTable, "Colour", "    ", uri), 0);
  std::vector<mdserver::PropertyRow> rows;
  ASSERT_TRUE(repository_->properties("A5HOME01.TABL0002", rows).ok());
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2].value, "");

  // Every successful SETPROP drops the resolution of argument 1: the next call asks again.
  const uint64_t before = calls("resolveUri");
  CharacterVariable v(12, "x");
  EXPECT_EQ(value("METADATA_GETPROP", {text(kTable), text("Colour"), out(v)}), 0);
  EXPECT_EQ(calls("resolveUri"), before + 1);
  EXPECT_EQ(v.value(), std::string(12, ' '));
  EXPECT_EQ(value("METADATA_GETPROP", {text(kTable), text("Colour"), out(v)}), 0);
  EXPECT_EQ(calls("resolveUri"), before + 1);
  EXPECT_EQ(setprop(kNowhere, "Colour", "x", uri), -3);
}

TEST_F(AttributeFunctions, FailedSetpropsReportAndStillWriteTheUriOfAnExistingProperty) {
  CharacterVariable uri = blankVariable(40);
  ASSERT_TRUE(current_->injectFault("setProperty", {kStorageFault, mdserver::FaultMode::kOnce, false}));
  EXPECT_EQ(setprop(kTable, "Contact", "bo", uri), -2);
  EXPECT_EQ(uri.trimmed(), std::string(kPropertyPrefix) + "A5HOME01.PROP0002");
  EXPECT_EQ(sysrc(), sysrcOf(kStorageFault));
  // The resolution stays; the server still holds the old value.
  const uint64_t before = calls("resolveUri");
  CharacterVariable v = blankVariable(8);
  std::vector<mdserver::PropertyRow> rows;
  ASSERT_TRUE(repository_->properties("A5HOME01.TABL0002", rows).ok());
  EXPECT_EQ(rows[1].value, "ada");
  EXPECT_EQ(value("METADATA_GETPROP", {text(kTable), text("Contact"), out(v)}), 0);
  EXPECT_EQ(calls("resolveUri"), before);

  // A new property that cannot be created: -4, reported, no URI.
  CharacterVariable untouched(40, "untouched");
  ASSERT_TRUE(current_->injectFault("setProperty", {kStorageFault, mdserver::FaultMode::kOnce, false}));
  EXPECT_EQ(setprop(kTable, "Fresh", "1", untouched), -4);
  EXPECT_EQ(untouched.value(), "untouched");
  EXPECT_EQ(sysrc(), sysrcOf(kStorageFault));
  // Created, but the second getProperty fails: that failure is the path's.
  ASSERT_TRUE(current_->injectFault("getProperty", {kStorageFault, mdserver::FaultMode::kAlways, false}));
  EXPECT_EQ(setprop(kTable, "Fresh", "1", untouched), -4);
  current_->clearFaults();
  EXPECT_EQ(setprop(kTable, "Fresh", "2", untouched), 0) << "it was created all the same";
}

TEST_F(AttributeFunctions, NoMemoryForANewValueLeavesNoFreedValueBehind) {
  // Find the allocation of the new value: the call that gives -9.
  CharacterVariable uri = blankVariable(40);
  bool met = false;
  eachAllocationFailing([&](uint64_t k) {
    std::optional<mdserver::PropertyRow> stored;
    ASSERT_TRUE(repository_->property("A5HOME01.TABL0002", "Schedule", stored).ok());
    const double result = setprop(kTable, "Schedule", "value " + std::to_string(k), uri);
    if (result != -9) {
      // A failing getProperty takes the path of a new property, which the repository refuses.
      EXPECT_TRUE(result == 0 || result == -3 || result == -4) << result;
      return;
    }
    met = true;
    EXPECT_EQ(sysrc(), "0") << "not reported";
    // The resolution was dropped: the next call asks the server and reads its value, not the
    // record whose value was released.
    const uint64_t before = calls("resolveUri");
    CharacterVariable v(12, "x");
    EXPECT_EQ(value("METADATA_GETPROP", {text(kTable), text("Schedule"), out(v)}), 0);
    EXPECT_EQ(calls("resolveUri"), before + 1);
    EXPECT_EQ(v.trimmed(), stored->value);
  });
  EXPECT_TRUE(met);
}

TEST_F(AttributeFunctions, EveryAllocationAndOperationFailureIsSurvived) {
  CharacterVariable a = blankVariable(16), b = blankVariable(40);
  auto everyFunction = [&] {
    value("METADATA_GETATTR", {text(kTable), text("TableName"), out(a)});
    value("METADATA_SETATTR", {text(kTable), text("Note"), text("n")});
    value("METADATA_GETNATR", {text(kTable), number(2), out(a), out(b)});
    value("METADATA_GETPROP", {text(kTable), text("Schedule"), out(a), out(b)});
    value("METADATA_SETPROP", {text(kTable), text("Schedule"), text("s"), out(b)});
    value("METADATA_SETPROP", {text(kTable), text("Extra"), text("e"), out(b)});
    value("METADATA_GETNPRP", {text(kTable), number(1), out(a), out(b)});
  };
  eachAllocationFailing([&](uint64_t) { everyFunction(); });
  eachOperationFailing({"resolveUri", "getAttribute", "setAttribute", "listAttributes",
                        "getProperty", "setProperty", "listProperties", "releaseList"},
                       [&](const std::string&) { everyFunction(); });
  host_->endSession(session_);
  ASSERT_EQ(blocksLeftAtRelease_.size(), 1u);
  EXPECT_EQ(blocksLeftAtRelease_[0], 0u);
}

TEST_F(AttributeFunctions, WithoutAnInterfaceAllTenGiveMinusOne) {
  value("METADATA_PURGE");  // drops the connection: the next call asks the host again
  host_->setMetadataProvider([](HostSession*, void** out) {
    *out = nullptr;
    return StatusCode{0x801720E3u};
  });
  CharacterVariable a = blankVariable(8), b = blankVariable(8);
  const std::vector<std::pair<const char*, std::vector<Argument>>> functions = {
      {"METADATA_GETATTR", {text(kTable), text("A"), out(a)}},
      {"METADATA_SETATTR", {text(kTable), text("A"), text("v")}},
      {"METADATA_GETNATR", {text(kTable), number(1), out(a), out(b)}},
      {"METADATA_GETPROP", {text(kTable), text("P"), out(a)}},
      {"METADATA_SETPROP", {text(kTable), text("P"), text("v")}},
      {"METADATA_GETNPRP", {text(kTable), number(1), out(a), out(b)}},
      {"METADATA_GETNASL", {text(kTable), number(1), out(a)}},
      {"METADATA_GETNASS", {text(kTable), text("Columns"), number(1), out(a)}},
      {"METADATA_GETNASN", {text(kTable), text("Columns"), number(1), out(a)}},
      {"METADATA_SETASSN", {text(kTable), text("Columns"), text("Merge"), text(kTable)}},
      {"METADATA_DELASSN", {text(kTable), text("Columns")}},
  };
  for (const auto& [function, args] : functions) {
    EXPECT_EQ(value(function, args), -1) << function;
    EXPECT_EQ(sysrc(), sysrcOf(0x801720E3u)) << function;
  }
}

TEST_F(AttributeFunctions, ListingAgainHandsOutTheSameListUntilTheObjectChanges) {
  double count = 0;
  pair("METADATA_GETNATR", kTable, 1, &count);
  const uint64_t allocations = pool().allocations;
  const uint64_t listings = calls("listAttributes");
  for (int n = 1; n <= 3; ++n) pair("METADATA_GETNATR", kTable, n, &count);
  EXPECT_EQ(calls("listAttributes"), listings + 3);
  EXPECT_EQ(pool().allocations, allocations) << "the same list, not a new one per call";
  // Changed through another route, the list is built anew and answers the change.
  ASSERT_TRUE(repository_->setAttribute("A5HOME01.TABL0002", "TableName", "ORDERS2").ok());
  EXPECT_EQ(pair("METADATA_GETNATR", kTable, 1, &count), "TableName=ORDERS2");
}

}  // namespace
}  // namespace testing_support
