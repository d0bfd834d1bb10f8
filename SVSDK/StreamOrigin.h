#pragma once

class CDataStream;

// Byte offset in the scanned source of position 0 of a delivered stream: follows chains of
// SV::CSubsetStream down to the stream beneath. -1 when stream is null.
long long SVStreamSourceOffset(CDataStream* stream);
