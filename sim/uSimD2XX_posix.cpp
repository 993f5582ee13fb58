#include <pthread.h>

#include "uSimD2XX.h"
#include "uci_FTDIdirect_posix.h"

namespace kelvo::simd2xx {

void SignalDriverEvent(void* Param, bool SignalOnly)
{
    auto* record = static_cast<TFTEventRecord*>(Param);
    pthread_mutex_lock(&record->eMutex);
    if (!SignalOnly)
        record->iVar = 1;
    pthread_cond_signal(&record->eCondVar);
    pthread_mutex_unlock(&record->eMutex);
}

}  // namespace kelvo::simd2xx
