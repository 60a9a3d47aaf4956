#include "heaptrim.h"

#include <malloc.h>

HeapTrim::HeapTrim()
{
    tmr_init(&timer);
    tmr_start(&timer, everyMs, due, this);
}

HeapTrim::~HeapTrim()
{
    tmr_cancel(&timer);
}

void HeapTrim::due(void *arg)
{
    auto *self = static_cast<HeapTrim *>(arg);
    malloc_trim(0);
    tmr_start(&self->timer, everyMs, due, self);
}
