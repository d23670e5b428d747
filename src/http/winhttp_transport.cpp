// The HTTP transport over asynchronous WinHTTP (Windows builds).
