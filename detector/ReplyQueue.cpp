#include "ReplyQueue.h"

#include <new>

bool ReplyQueue::Reserve(uint32_t capacity)
{
    TakenDatagram* items = new (std::nothrow) TakenDatagram[capacity];
    if (items == nullptr)
        return false;
    Release();
    m_items.reset(items);
    m_capacity = capacity;
    return true;
}

void ReplyQueue::Release()
{
    m_items.reset();
    m_capacity = 0;
    m_first = 0;
    m_count = 0;
}

TakenDatagram& ReplyQueue::Push()
{
    return m_items[(m_first + m_count++) % m_capacity];
}

TakenDatagram ReplyQueue::Pop()
{
    TakenDatagram oldest = m_items[m_first];
    m_first = (m_first + 1) % m_capacity;
    --m_count;
    return oldest;
}
