"""Running a test body against a uvicorn server on this event loop."""
import asyncio


async def serve_during(server, sock, gate, body):
    """`await body()` while `server` serves on `sock`; the server is stopped afterwards."""
    serving = asyncio.ensure_future(server.serve(sockets=[sock]))
    try:
        while not server.started:
            assert not serving.done(), "uvicorn did not start"
            await asyncio.sleep(0.01)
        return await body()
    finally:
        # The gate keeps its verification client for the life of the process and never closes
        # it; its connections belong to this loop, which ends here.
        if getattr(gate, "_client", None) is not None:
            await gate._client.aclose()
        server.should_exit = True
        await asyncio.wait_for(serving, 5)
