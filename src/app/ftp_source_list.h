#pragma once
// The source list's text rules live with the fetch walk that every protocol shares.
#include "jobs/source_list.h"
