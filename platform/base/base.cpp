// The base room is header-only; this file gives its library a member.
#include "base/byte_reader.h"
#include "base/byte_writer.h"
#include "base/result.h"
