#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "engine/SVPhotoRecovery.h"
#include "tests/support/FakeHandlers.h"
#include "tests/support/MemoryDataSource.h"
#include "tests/support/RecordingSink.h"

using testing_support::MemoryDataSource;
using testing_support::RecordingSink;
using Calls = std::vector<std::string>;

namespace {

// Notes in its record how many entries the engine lists while a removal is told.
class ProbingSink : public RecordingSink {
 public:
  explicit ProbingSink(SV::CPhotoRecovery* engine) : engine(engine) {}
  void DSDeleted(CDataSource* source) override {
    RecordingSink::DSDeleted(source);
    calls.push_back("listed " + std::to_string(engine->GetDataSourceCount()));
  }
  void CHDeleted(CContentHandler* handler) override {
    RecordingSink::CHDeleted(handler);
    calls.push_back("listed " + std::to_string(engine->GetContentHandlerCount()));
    if (onCHDeleted) onCHDeleted(handler);
  }
  SV::CPhotoRecovery* engine;
  std::function<void(CContentHandler*)> onCHDeleted;
};

// One family's operations as seen from the host's sink: "one" added twice and by a twin with
// the same identifier, changed, "two" (never added) changed and deleted, then the twin deleted
// (identity is the identifier: it removes the first object's entry) and the first object too.
template <typename Object, typename Make>
Calls Drive(Make make, void (SV::CPhotoRecovery::*add)(Object*),
            void (SV::CPhotoRecovery::*changed)(Object*),
            void (SV::CPhotoRecovery::*deleted)(Object*), int (SV::CPhotoRecovery::*count)()) {
  SV::CPhotoRecovery engine;
  ProbingSink sink(&engine);
  engine.SetEventHandler(&sink);
  auto one = make(&engine, "one"), twin = make(&engine, "one"), two = make(&engine, "two");
  (engine.*add)(one.get());
  (engine.*add)(one.get());
  (engine.*add)(twin.get());
  EXPECT_EQ((engine.*count)(), 1);
  (engine.*changed)(one.get());
  (engine.*changed)(two.get());
  (engine.*deleted)(two.get());
  (engine.*deleted)(twin.get());
  EXPECT_EQ((engine.*count)(), 0);
  (engine.*deleted)(one.get());
  return sink.calls;
}

template <typename Object>
auto Maker() {
  return [](CPhotoRecovery*, const char* id) { return std::make_unique<Object>(id); };
}

}  // namespace

TEST(Registration, EachFamilyLogsAndTellsTheSinkInItsOwnWay) {
  auto sources = [](CPhotoRecovery* engine, const char* id) {
    return std::make_unique<MemoryDataSource>(engine, id, std::vector<uint8_t>(512));
  };
  using E = SV::CPhotoRecovery;
  EXPECT_EQ(Drive<CDataSource>(sources, &E::DSAdded, &E::DSChanged, &E::DSDeleted,
                               &E::GetDataSourceCount),
            (Calls{"DSAdded one", "Log SVC 4 DataSource one already added - can't reregister",
                   "Log SVC 4 DataSource one already added - can't reregister", "DSChanged one",
                   "DSChanged two", "Log SVC 4 DataSource two not registered - can't unregister",
                   "DSDeleted one", "listed 0",
                   "Log SVC 4 DataSource one not registered - can't unregister"}));
  EXPECT_EQ(
      Drive<CContentHandler>(Maker<FakeContentHandler>(), &E::CHAdded, &E::CHChanged, &E::CHDeleted,
                             &E::GetContentHandlerCount),
      (Calls{"CHAdded one", "Log SVC 4 Content Handler one already registered - can't reregister",
             "Log SVC 4 Content Handler one already registered - can't reregister",
             "Log SVC 1 Content Handler one change", "CHChanged one",
             "Log SVC 4 Content Handler two not registered - can't handle change events",
             "Log SVC 4 Content Handler two not registered - can't unregister",
             "Log SVC 2 Content Handler one unregistered", "CHDeleted one", "listed 1",
             "Log SVC 4 Content Handler one not registered - can't unregister"}));
  EXPECT_EQ(Drive<CPreviewHandler>(Maker<FakePreviewHandler>(), &E::PVAdded, &E::PVChanged,
                                   &E::PVDeleted, &E::GetPreviewHandlerCount),
            (Calls{"Log SVC 4 Preview Handler one already registered - can't reregister",
                   "Log SVC 4 Preview Handler one already registered - can't reregister",
                   "Log SVC 4 Preview Handler two not registered - can't unregister",
                   "Log SVC 2 Preview Handler one unregistered",
                   "Log SVC 4 Preview Handler one not registered - can't unregister"}));
}

// The sink is told before the entry goes; what it does meanwhile decides which entry that is.
TEST(Registration, ContentHandlerRemovalAfterTheSinkHasActed) {
  SV::CPhotoRecovery engine;
  ProbingSink sink(&engine);
  engine.SetEventHandler(&sink);
  FakeContentHandler handler("old"), other("new"), a("a"), b("b");
  for (CContentHandler* h : {&handler, &other, &a, &b}) engine.CHAdded(h);
  // A sink that unregisters again: not told twice, nothing removed twice.
  sink.calls.clear();
  sink.onCHDeleted = [&](CContentHandler* h) { engine.CHDeleted(h); };
  engine.CHDeleted(&a);
  EXPECT_EQ(sink.calls,
            (Calls{"Log SVC 2 Content Handler a unregistered", "CHDeleted a", "listed 4"}));
  EXPECT_EQ(engine.GetContentHandlerCount(), 3);

  // The entry removed is the one under the identifier reported after the sink call; an object
  // that reports a new identifier cannot remove its old entry.
  sink.onCHDeleted = [&](CContentHandler*) { handler.id = "new"; };
  engine.CHDeleted(&handler);
  sink.onCHDeleted = nullptr;
  engine.CHDeleted(&handler);
  EXPECT_EQ(sink.calls.back(), "Log SVC 4 Content Handler new not registered - can't unregister");
  // Listed in identifier order; an index out of range lists nothing.
  EXPECT_EQ(
      (std::vector<CContentHandler*>{engine.GetContentHandler(-1), engine.GetContentHandler(0),
                                     engine.GetContentHandler(1), engine.GetContentHandler(2)}),
      (std::vector<CContentHandler*>{nullptr, &b, &handler, nullptr}));
}
