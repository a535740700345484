"""Web-socket push to the application's connected clients.

Each client is an ``asyncio.Queue`` that receives every broadcast event.
"""

import asyncio

_clients: list[asyncio.Queue] = []


def subscribe() -> asyncio.Queue:
    """Registers a new client and returns the queue its events arrive in."""
    queue = asyncio.Queue()
    _clients.append(queue)
    return queue


def unsubscribe(queue: asyncio.Queue) -> None:
    if queue in _clients:
        _clients.remove(queue)


async def broadcast_ws(event) -> None:
    """Delivers ``event`` to every client subscribed when it runs."""
    for queue in list(_clients):
        queue.put_nowait(event)
