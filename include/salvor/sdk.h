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
#include "engine/SVPhotoRecovery.h"
#include "plugin/Plugin.h"
#include "plugin/DSBase.h"
#include "plugin/FileDataSource.h"
#include "SVSDK/SubsetStream.h"
#include "SVSDK/StreamOrigin.h"
#include "util/StringUtils.h"
