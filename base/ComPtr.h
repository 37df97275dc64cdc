#pragma once

// One COM smart pointer for the whole program: the platform's own, with
// IID_PPV_ARGS for type-checked QueryInterface and CoCreateInstance calls.

#include <windows.h>

#include <objbase.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;
