#pragma once

#include <kavrin/types.h>
