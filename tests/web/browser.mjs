// What the page's browser tests share: the page's folder served on
// 127.0.0.1, and Debian's chromium started headless through playwright-core
// (a fresh profile each time; no network use).
import { readFileSync } from "node:fs";
import { createServer } from "node:http";
import { basename, extname, join } from "node:path";
import { chromium } from "playwright-core";

const types = { ".html": "text/html", ".js": "text/javascript" };

// Serves the folder's files by name; returns the server and the page's address.
export async function serve(folder) {
  const server = createServer((request, response) => {
    const path = new URL(request.url, "http://127.0.0.1").pathname;
    const file = join(folder, path === "/" ? "index.html" : basename(path));
    try {
      const body = readFileSync(file);
      response.writeHead(200, { "Content-Type": types[extname(file)] || "application/octet-stream" });
      response.end(body);
    } catch {
      response.writeHead(404);
      response.end();
    }
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  return { server, url: `http://127.0.0.1:${server.address().port}/` };
}

export function launch() {
  return chromium.launch({
    executablePath: process.env.UPDATE_CHROMIUM || "/usr/bin/chromium",
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync"],
  });
}
