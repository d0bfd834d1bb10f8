// A data-source module for the engine's own tests: two memory cards, registered again on
// every ScanSources. Built in variants that differ in identifier, card names and IsEnabled.
#include <memory>
#include <string>
#include <vector>

#include "salvor/CDataSourceModule.h"
#include "salvor/CPhotoRecovery.h"
#include "tests/support/MemoryDataSource.h"

namespace {

class CTestSourceModule : public CDataSourceModule {
 public:
  const char* GetUniqueID() override { return TEST_MODULE_ID; }
  bool IsEnabled() override { return TEST_MODULE_ENABLED != 0; }

  void ScanSources(CPhotoRecovery* engine, int reserved) override {
    if (FCards.empty()) {
      for (int i = 0; i < 2; ++i) {
        std::string id =
            std::string(TEST_SOURCE_PREFIX) + std::to_string(i) + "." + std::to_string(reserved);
        FCards.push_back(std::make_unique<testing_support::MemoryDataSource>(
            engine, id, std::vector<uint8_t>(4096, static_cast<uint8_t>(i)), 512, false));
      }
    }
    // The cards are still there: announce them again, the engine refuses duplicates.
    for (auto& card : FCards) engine->DSAdded(card.get());
  }

 private:
  std::vector<std::unique_ptr<testing_support::MemoryDataSource>> FCards;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) CDataSourceModule* GetDSInstance(
    CPhotoRecovery*) {
  static CTestSourceModule module;
  return &module;
}
