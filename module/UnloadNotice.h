#pragma once

// Tells the framework's component factory that the module's last component is
// gone. Runs under the module lock, from RemoveComponent.
void SendUnloadNotice();
