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

  // The cards are made once and announced again on every scan: the engine refuses duplicates.
  void ScanSources(CPhotoRecovery* engine, int reserved) override {
    for (int i = static_cast<int>(FCards.size()); i < 2; ++i) {
      FCards.push_back(std::make_unique<testing_support::MemoryDataSource>(
          engine, TEST_SOURCE_PREFIX + std::to_string(i) + "." + std::to_string(reserved),
          std::vector<uint8_t>(4096)));
    }
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
