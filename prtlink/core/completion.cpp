// Completion codes.
