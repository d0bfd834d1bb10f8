#pragma once

// Everything a host or a plug-in module needs from the engine.
#include "CDataStream.h"
#include "CPluginBase.h"
#include "CDataSource.h"
#include "CContentHandler.h"
#include "CPreviewHandler.h"
#include "CEventHandler.h"
#include "CPhotoRecovery.h"
#include "CDataSourceModule.h"
#include "PluginEntry.h"
#include "SVPhotoRecovery.h"
#include "Plugin.h"
#include "DSBase.h"
#include "FileDataSource.h"
#include "SubsetStream.h"
#include "StreamOrigin.h"
#include "StringUtils.h"
