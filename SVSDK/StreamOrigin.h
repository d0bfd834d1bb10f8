#pragma once

class CDataStream;

// Byte offset in the scanned source of position 0 of a delivered stream: follows chains of
// SV::CSubsetStream down to the stream beneath. -1 when stream is null.
long long SVStreamSourceOffset(CDataStream* stream);

// Identifies the scan stream a handler is given: unique to each data-source stream built in
// the process, so that what a handler keeps about one scan's data is never taken for
// another's. -1 for any other stream.
long long SVStreamSerial(CDataStream* stream);
