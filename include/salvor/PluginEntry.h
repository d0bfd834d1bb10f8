#pragma once

class CPhotoRecovery;
class CDataSourceModule;
class CContentHandler;
class CPreviewHandler;

// Entry functions a plug-in module exports with C linkage, called once per load.
// A content or preview module registers its handler (CHAdded / PVAdded) before returning it.
typedef CDataSourceModule* (*GetDSInstanceFunc)(CPhotoRecovery* engine);
typedef CContentHandler* (*GetCHInstanceFunc)(CPhotoRecovery* engine);
typedef CPreviewHandler* (*GetPVInstanceFunc)(CPhotoRecovery* engine);

#define SALVOR_DS_ENTRY "GetDSInstance"
#define SALVOR_CH_ENTRY "GetCHInstance"
#define SALVOR_PV_ENTRY "GetPVInstance"
