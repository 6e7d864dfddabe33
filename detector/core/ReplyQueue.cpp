#include "ReplyQueue.h"

#include <new>

bool ReplyQueue::Reserve(uint32_t capacity)
{
    TakenDatagram* items = new (std::nothrow) TakenDatagram[capacity];
    if (items == nullptr)
        return false;
    Release();
    pItems.reset(items);
    nCapacity = capacity;
    return true;
}

void ReplyQueue::Release()
{
    pItems.reset();
    nCapacity = 0;
    nFirst = 0;
    nCount = 0;
}

TakenDatagram& ReplyQueue::Push()
{
    return pItems[(nFirst + nCount++) % nCapacity];
}

TakenDatagram ReplyQueue::Pop()
{
    TakenDatagram oldest = pItems[nFirst];
    nFirst = (nFirst + 1) % nCapacity;
    --nCount;
    return oldest;
}
