"""Tables: ``Table`` and the column arrays every later stage works on (keys,
times, null masks), feature-type inference, and progress bars."""
