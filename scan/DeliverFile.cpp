#include "salvor/CContentHandler.h"
#include "salvor/CDataStream.h"
#include "salvor/CEventHandler.h"
#include "engine/SVPhotoRecovery.h"

#include <sstream>

namespace SV {

void CPhotoRecovery::DeliverFile(CContentHandler* handler, CDataStream* file) {
  const long long size = file->GetSize();
  std::ostringstream text;
  text << "Delivering file recovered by " << handler->GetUniqueID() << " - Size " << size;
  Log("SVC", LogLevel::kStep, text.str().c_str());
  file->SetPosition(0);
  if (FEventHandler != nullptr) FEventHandler->FileRecovered(handler, file);
}

}  // namespace SV
