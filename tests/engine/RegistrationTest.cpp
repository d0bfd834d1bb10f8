#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "tests/engine/FakeHandlers.h"
#include "tests/support/MemoryDataSource.h"
#include "tests/support/RecordingSink.h"
#include "engine/SVPhotoRecovery.h"
#include "tests/support/StderrCapture.h"

using testing_support::MemoryDataSource;
using testing_support::RecordingSink;
using testing_support::StderrCapture;

namespace {

std::unique_ptr<MemoryDataSource> Source(CPhotoRecovery* engine, const std::string& id) {
  return std::make_unique<MemoryDataSource>(engine, id, std::vector<uint8_t>(512));
}

// The log lines of the sink as "level text".
std::vector<std::string> Logs(const RecordingSink& sink) {
  std::vector<std::string> lines;
  for (const auto& l : sink.logs) {
    EXPECT_EQ(l.source, "SVC");
    lines.push_back(std::to_string(l.level) + " " + l.text);
  }
  return lines;
}

// Runs a probe inside the deletion callbacks to see the registries as the sink sees them.
class ProbingSink : public RecordingSink {
 public:
  std::function<void()> onDSDeleted;
  std::function<void()> onCHDeleted;
  void DSDeleted(CDataSource* source) override {
    RecordingSink::DSDeleted(source);
    if (onDSDeleted) onDSDeleted();
  }
  void CHDeleted(CContentHandler* handler) override {
    RecordingSink::CHDeleted(handler);
    if (onCHDeleted) onCHDeleted();
  }
};

}  // namespace

TEST(Registration, RegistriesAreOrderedByIdentifierBytes) {
  SV::CPhotoRecovery engine;
  auto b = Source(&engine, "b"), a = Source(&engine, "a"), c = Source(&engine, "c");
  auto upper = Source(&engine, "B");
  for (auto* s : {b.get(), a.get(), c.get()}) engine.DSAdded(s);
  ASSERT_EQ(engine.GetDataSourceCount(), 3);
  EXPECT_EQ(engine.GetDataSource(0), a.get());
  EXPECT_EQ(engine.GetDataSource(1), b.get());
  EXPECT_EQ(engine.GetDataSource(2), c.get());
  EXPECT_EQ(engine.GetDataSource(3), nullptr);
  EXPECT_EQ(engine.GetDataSource(-1), nullptr);
  EXPECT_EQ(engine.FindDataSourceByID("b"), b.get());
  EXPECT_EQ(engine.FindDataSourceByID("B"), nullptr);
  EXPECT_EQ(engine.FindDataSourceByID("b "), nullptr);
  engine.DSAdded(upper.get());
  EXPECT_EQ(engine.GetDataSource(0), upper.get());  // upper case sorts before lower case
  EXPECT_EQ(engine.FindDataSourceByID("B"), upper.get());

  FakeContentHandler z("z"), ha("a"), high("\xc3\xa9");  // bytes compare unsigned
  engine.CHAdded(&z);
  engine.CHAdded(&high);
  engine.CHAdded(&ha);
  EXPECT_EQ(engine.GetContentHandler(0), &ha);
  EXPECT_EQ(engine.GetContentHandler(1), &z);
  EXPECT_EQ(engine.GetContentHandler(2), &high);
  EXPECT_EQ(engine.GetContentHandler(3), nullptr);

  FakePreviewHandler p2("p2"), p1("p1");
  engine.PVAdded(&p2);
  engine.PVAdded(&p1);
  EXPECT_EQ(engine.GetPreviewHandlerCount(), 2);
  EXPECT_EQ(engine.GetPreviewHandler(0), &p1);
  EXPECT_EQ(engine.GetPreviewHandler(1), &p2);
  EXPECT_EQ(engine.GetPreviewHandler(-5), nullptr);
}

TEST(Registration, DataSourcesAreSilentOnSuccessAndToldAfterRemoval) {
  SV::CPhotoRecovery engine;
  ProbingSink sink;
  engine.SetEventHandler(&sink);
  auto first = Source(&engine, "disk0");
  auto twin = Source(&engine, "disk0");
  auto stranger = Source(&engine, "disk9");

  StderrCapture capture;
  engine.DSAdded(first.get());
  engine.DSAdded(first.get());
  engine.DSAdded(twin.get());
  EXPECT_EQ(engine.GetDataSourceCount(), 1);
  EXPECT_EQ(engine.FindDataSourceByID("disk0"), first.get());

  engine.DSDeleted(stranger.get());
  int countSeen = -1;
  CDataSource* foundSeen = first.get();
  sink.onDSDeleted = [&] {
    countSeen = engine.GetDataSourceCount();
    foundSeen = engine.FindDataSourceByID("disk0");
  };
  // Identity is the identifier: the twin removes the first object's entry.
  engine.DSDeleted(twin.get());
  EXPECT_EQ(countSeen, 0);
  EXPECT_EQ(foundSeen, nullptr);
  EXPECT_EQ(engine.GetDataSourceCount(), 0);
  engine.DSDeleted(first.get());

  EXPECT_EQ(capture.Stop(),
            "[SVC] DataSource disk0 already added - can't reregister\n"
            "[SVC] DataSource disk0 already added - can't reregister\n"
            "[SVC] DataSource disk9 not registered - can't unregister\n"
            "[SVC] DataSource disk0 not registered - can't unregister\n");
  EXPECT_EQ(Logs(sink),
            (std::vector<std::string>{"4 DataSource disk0 already added - can't reregister",
                                      "4 DataSource disk0 already added - can't reregister",
                                      "4 DataSource disk9 not registered - can't unregister",
                                      "4 DataSource disk0 not registered - can't unregister"}));
  std::vector<std::string> registryCalls;
  for (const auto& call : sink.calls) {
    if (call.rfind("Log ", 0) != 0) registryCalls.push_back(call);
  }
  EXPECT_EQ(registryCalls, (std::vector<std::string>{"DSAdded disk0", "DSDeleted disk0"}));
}

TEST(Registration, ContentHandlersAreLoggedAndToldBeforeRemoval) {
  SV::CPhotoRecovery engine;
  ProbingSink sink;
  engine.SetEventHandler(&sink);
  FakeContentHandler jpeg("jpeg"), twin("jpeg"), stranger("png");

  engine.CHAdded(&jpeg);
  engine.CHAdded(&twin);
  engine.CHChanged(&jpeg);
  engine.CHChanged(&stranger);
  engine.CHDeleted(&stranger);
  CContentHandler* listedDuringDelete = nullptr;
  sink.onCHDeleted = [&] { listedDuringDelete = engine.GetContentHandler(0); };
  engine.CHDeleted(&twin);  // removes jpeg's entry; the sink hears of the twin
  EXPECT_EQ(listedDuringDelete, &jpeg);
  EXPECT_EQ(engine.GetContentHandlerCount(), 0);
  engine.CHDeleted(&jpeg);

  EXPECT_EQ(Logs(sink), (std::vector<std::string>{
                            "4 Content Handler jpeg already registered - can't reregister",
                            "1 Content Handler jpeg change",
                            "4 Content Handler png not registered - can't handle change events",
                            "4 Content Handler png not registered - can't unregister",
                            "2 Content Handler jpeg unregistered",
                            "4 Content Handler jpeg not registered - can't unregister"}));
  EXPECT_EQ(sink.calls, (std::vector<std::string>{
                            "CHAdded jpeg",
                            "Log SVC 4 Content Handler jpeg already registered - can't reregister",
                            "Log SVC 1 Content Handler jpeg change", "CHChanged jpeg",
                            "Log SVC 4 Content Handler png not registered - can't handle change "
                            "events",
                            "Log SVC 4 Content Handler png not registered - can't unregister",
                            "Log SVC 2 Content Handler jpeg unregistered", "CHDeleted jpeg",
                            "Log SVC 4 Content Handler jpeg not registered - can't unregister"}));
}

TEST(Registration, ContentHandlerRemovalFollowsTheIdentifierAfterTheSink) {
  SV::CPhotoRecovery engine;
  ProbingSink sink;
  engine.SetEventHandler(&sink);
  FakeContentHandler handler("old"), other("new");

  // A sink that unregisters the handler itself leaves nothing for the engine to remove.
  engine.CHAdded(&handler);
  bool reentered = false;
  sink.onCHDeleted = [&] {
    if (reentered) return;
    reentered = true;
    engine.CHDeleted(&handler);
  };
  engine.CHDeleted(&handler);
  EXPECT_EQ(engine.GetContentHandlerCount(), 0);

  // The entry removed after the sink call is the one under the identifier reported then.
  engine.CHAdded(&handler);
  engine.CHAdded(&other);
  sink.onCHDeleted = [&] { handler.id = "new"; };
  engine.CHDeleted(&handler);
  ASSERT_EQ(engine.GetContentHandlerCount(), 1);
  EXPECT_EQ(engine.GetContentHandler(0), &handler);  // still under "old"

  // An object that reports a new identifier cannot remove its old entry.
  sink.onCHDeleted = nullptr;
  sink.logs.clear();
  engine.CHDeleted(&handler);
  EXPECT_EQ(engine.GetContentHandlerCount(), 1);
  EXPECT_EQ(Logs(sink),
            (std::vector<std::string>{"4 Content Handler new not registered - can't unregister"}));
  handler.id = "old";
  engine.CHDeleted(&handler);
  EXPECT_EQ(engine.GetContentHandlerCount(), 0);
}

TEST(Registration, PreviewHandlersNeverReachTheSink) {
  SV::CPhotoRecovery engine;
  RecordingSink sink;
  engine.SetEventHandler(&sink);
  FakePreviewHandler preview("thumbs"), twin("thumbs"), stranger("other");

  engine.PVAdded(&preview);
  engine.PVAdded(&twin);
  engine.PVChanged(&preview);
  engine.PVChanged(&stranger);
  EXPECT_EQ(engine.GetPreviewHandler(0), &preview);
  engine.PVDeleted(&stranger);
  engine.PVDeleted(&twin);
  EXPECT_EQ(engine.GetPreviewHandlerCount(), 0);
  engine.PVDeleted(&preview);

  EXPECT_EQ(Logs(sink), (std::vector<std::string>{
                            "4 Preview Handler thumbs already registered - can't reregister",
                            "4 Preview Handler other not registered - can't unregister",
                            "2 Preview Handler thumbs unregistered",
                            "4 Preview Handler thumbs not registered - can't unregister"}));
  EXPECT_EQ(sink.calls.size(), sink.logs.size());
}

TEST(Registration, SingletonRegistrationIsUndone) {
  CPhotoRecovery* engine = GetSVSingleton();
  RecordingSink sink;
  engine->SetEventHandler(&sink);
  {
    MemoryDataSource source(engine, "mem:0", std::vector<uint8_t>(512), 512, true);
    EXPECT_EQ(engine->FindDataSourceByID("mem:0"), &source);
  }
  EXPECT_EQ(engine->GetDataSourceCount(), 0);
  engine->SetEventHandler(nullptr);
  EXPECT_EQ(sink.calls, (std::vector<std::string>{"DSAdded mem:0", "DSDeleted mem:0"}));
}
