#include "UnloadNotice.h"

void SendUnloadNotice() {}
