// Anchors the tools library; the builder, the renderer and their shared code add their own files.
