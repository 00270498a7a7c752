// How many times this process is a fork child: what tells an inherited connection from an own one.
#pragma once

namespace korvane::http {

// The count now, installing the counting handler at the first call (pthread_atfork, child side).
// Whatever holds connections records it when made; a later, different count means the holder was
// inherited through fork and its connections are the parent's too.
unsigned forks_so_far();

// The count now, without installing anything (for holders made after forks_so_far() ran once).
unsigned forks_now();

}  // namespace korvane::http
