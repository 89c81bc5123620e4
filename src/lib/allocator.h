#pragma once

namespace corvane {

// Allocations made and not yet freed, in an audit build; -1 otherwise.
long long audited_live_allocations();

}  // namespace corvane
