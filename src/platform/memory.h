// Memory that the program has allocated but not yet touched: the system maps its pages one
// fault at a time on first touch, on whichever thread touches them. Here they can be mapped
// ahead of time by another thread, so that the one that writes them finds them ready.
#pragma once

#include <cstddef>

// Returns true when every page overlapping [address, address + length) is now mapped for
// writing, its contents unchanged (a page mapped already stays as it is, even while another
// thread writes into it); false when the system cannot map pages ahead or refused part of the
// range (the pages are then left to be mapped on first touch).
bool PrefaultForWriting(void* address, size_t length);

// Returns true when the whole pages inside [address, address + length) were given back to the
// system, so that freeing the memory later has less to do (they read as zeros if touched
// again); false when there is no whole page inside or the system refused. The partial pages
// at either end are left alone: they may hold other data.
bool ReleaseWholePages(void* address, size_t length);
