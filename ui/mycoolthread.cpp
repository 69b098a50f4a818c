#include "ui/mycoolthread.h"

void MyCoolThread::run() {
    if (callback) callback(this);
}
