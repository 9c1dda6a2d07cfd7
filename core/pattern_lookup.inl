// Filled in with the lookup template.
