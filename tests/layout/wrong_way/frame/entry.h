#pragma once
#include "frame/host_abi.h"
#include "host/reference_host.h"
