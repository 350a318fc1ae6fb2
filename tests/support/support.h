// Test support shared by tests, tools and benchmarks: pty pairs, the line
// simulator core and scripted peers. Each piece has a header of its own.
#pragma once
