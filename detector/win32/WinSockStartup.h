// One reference on the process-wide WinSock start-up: the first holder of the
// process starts WinSock, the last one cleans it up.
#pragma once

class CWinSockStartup {
public:
    CWinSockStartup();
    virtual ~CWinSockStartup();
    CWinSockStartup(const CWinSockStartup&) = delete;
    CWinSockStartup& operator=(const CWinSockStartup&) = delete;
};
