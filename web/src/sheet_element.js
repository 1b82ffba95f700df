// The terminal component writes its per-terminal rules (colours, cell sizes) into <style>
// elements, which the page's content security policy forbids. The build makes it create a
// <quelmar-sheet> instead; this element carries the same rules in a constructed style sheet,
// which the policy allows, for as long as it is in the document.

class SheetElement extends HTMLElement {
  #sheet = new CSSStyleSheet();

  set textContent(css) {
    this.#sheet.replaceSync(css ?? '');
  }

  get textContent() {
    return [...this.#sheet.cssRules].map((r) => r.cssText).join('\n');
  }

  connectedCallback() {
    document.adoptedStyleSheets = [...document.adoptedStyleSheets, this.#sheet];
  }

  disconnectedCallback() {
    document.adoptedStyleSheets = document.adoptedStyleSheets.filter((s) => s !== this.#sheet);
  }
}

customElements.define('quelmar-sheet', SheetElement);
