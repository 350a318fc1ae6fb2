#include "transfer/status_figures.h"

#include "transfer/protocol.h"

namespace kavo {

TStatusFigures FiguresOf(const TApdCustomProtocol& protocol) {
    TStatusFigures f;
    f.protocolType = static_cast<int>(protocol.ProtocolType());
    f.blockCheck = static_cast<int>(protocol.BlockCheckMethod());
    f.fileName = protocol.FileName();
    f.fileLength = protocol.FileLength();
    f.blockLength = protocol.BlockLength();
    f.bytesTransferred = protocol.BytesTransferred();
    f.bytesRemaining = protocol.BytesRemaining();
    f.initialOffset = protocol.InitialOffset();
    f.blockErrors = protocol.BlockErrors();
    f.totalErrors = protocol.TotalErrors();
    f.estimatedSecs = protocol.EstimateTransferSecs(f.fileLength);
    f.remainingSecs = protocol.EstimateTransferSecs(f.bytesRemaining);
    f.elapsedTicks = protocol.ElapsedTicks();
    f.bitRate = protocol.BitRate();
    f.kermitWindows = protocol.KermitWindows();
    f.statusText = TApdCustomProtocol::StatusMessage(protocol.Status());
    return f;
}

}  // namespace kavo
