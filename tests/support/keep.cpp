// Keeps the support library non-empty while it has nothing else.
