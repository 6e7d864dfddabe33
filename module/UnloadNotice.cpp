#include "UnloadNotice.h"

#include "HostComponents.h"

void SendUnloadNotice(HMODULE module)
{
    // The holder keeps the factory component alive: it is the framework's, and
    // the module never releases it.
    TZelvoFactoryPtr factory;
    if (factory.component != nullptr)
        factory.component->ModuleCanUnload(module);
}
