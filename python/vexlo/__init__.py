"""vexlo: MCP server over HTTP/SSE plus the REST API under /api/v1."""
