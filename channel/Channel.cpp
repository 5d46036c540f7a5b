#include "Channel.h"

CChannel::CChannel() = default;
CChannel::~CChannel() = default;
