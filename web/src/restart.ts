// A page whose server is gone for good: quillo ui was stopped and started
// again, so the access token in this page's address is no longer known and
// everything this page shows may differ from what the new server holds
// (its unsaved edits were lost with the old one). The page stops showing
// the cells and says how to get the new address, which it cannot know: the
// token is printed only where quillo ui runs.

// Whether the server answers but no longer knows this page's address (it
// answers 404 to any other token). A server that cannot be reached at all
// may be coming back: that is not "gone".
export async function serverForgotPage(): Promise<boolean> {
  try {
    const res = await fetch("api/book", { cache: "no-store" });
    return res.status === 404;
  } catch {
    return false;
  }
}

// A quillo ui address: http://127.0.0.1:PORT/TOKEN/ (or localhost, [::1]).
const ADDRESS = /^http:\/\/(127\.0\.0\.1|localhost|\[::1\]):\d{1,5}\/[0-9a-f]{64}\/?$/;

export function showServerGone(panel: HTMLElement): void {
  if (!panel.hidden) return;
  document.body.classList.add("server-gone");
  const input = panel.querySelector<HTMLInputElement>("input")!;
  const open = panel.querySelector<HTMLButtonElement>("button")!;
  const say = panel.querySelector<HTMLElement>(".why")!;
  const go = () => {
    const url = input.value.trim();
    if (!ADDRESS.test(url)) {
      say.textContent = "That is not a quillo ui address: it reads http://127.0.0.1:PORT/ and 64 letters and digits.";
      return;
    }
    window.location.assign(url.endsWith("/") ? url : `${url}/`);
  };
  open.addEventListener("click", go);
  input.addEventListener("keydown", (e) => {
    if (e.key === "Enter") go();
  });
  panel.hidden = false;
  input.focus();
}
